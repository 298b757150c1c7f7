// Dear ImGui windows drawn by the OpenGL back-end over the off-screen framebuffer.
#include <imgui.h>

#include <algorithm>

#include "host/ImGuiReg.h"
#include "tests/host/gl/GlTestSupport.h"

namespace {

class GlImGuiTest : public gltest::GlBackendTest {
protected:
    render::GlBackend::Options options() const override {
        render::GlBackend::Options o;
        o.width = 160;
        o.height = 96;
        return o;
    }
    void TearDown() override {
        if (handle) ImGui::orn::unreg(handle);
        ImGui::orn::set_display_size(1280.0f, 720.0f);
        gltest::GlBackendTest::TearDown();
    }
    // A window at (x, y), w x h pixels, with a line of text, from the next GUI frame on.
    void open_window(float x, float y, float w, float h) {
        handle = ImGui::orn::reg([x, y, w, h] {
            ImGui::SetNextWindowPos(ImVec2(x, y));
            ImGui::SetNextWindowSize(ImVec2(w, h));
            ImGui::Begin("GlImGuiTest");
            ImGui::TextUnformatted("drawn");
            ImGui::End();
            return ImGui::orn::keep_registered;
        });
    }
    // Clears to yellow, runs one GUI frame and draws it; the colour target afterwards.
    std::vector<uint8_t> frame() {
        ImGui::orn::set_display_size(static_cast<float>(backend->width()), static_cast<float>(backend->height()));
        backend->begin_frame(osg::Vec4f(1.0f, 1.0f, 0.0f, 1.0f));
        ImGui::orn::run_frame();
        EXPECT_TRUE(backend->draw_imgui(ImGui::GetDrawData()));
        return backend->read_colour();
    }
    // Whether the pixel at (x, y), from the top-left corner, still has the clear colour.
    bool cleared(const std::vector<uint8_t>& image, int x, int y) const {
        const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(backend->width()) + static_cast<size_t>(x)) * 4;
        return at + 3 < image.size() && image[at] == 255 && image[at + 1] == 255 && image[at + 2] == 0;
    }

    uint32_t handle = 0;
};

TEST_F(GlImGuiTest, WindowCoversThePixelsUnderItAndLeavesTheRest) {
    open_window(20.0f, 10.0f, 100.0f, 60.0f);
    for (int round = 0; round < 2; ++round) {  // the renderer starts afresh for every frame it draws
        const std::vector<uint8_t> image = frame();
        ASSERT_EQ(image.size(), static_cast<size_t>(backend->width() * backend->height() * 4));
        struct Probe {
            int x, y;
            bool covered;
        };
        // Inside the window (title bar and body, away from its border), then outside on every side.
        for (const Probe& p : {Probe{60, 14, true}, Probe{40, 50, true}, Probe{110, 65, true}, Probe{5, 40, false},
                               Probe{140, 40, false}, Probe{60, 3, false}, Probe{60, 85, false}})
            EXPECT_EQ(!cleared(image, p.x, p.y), p.covered) << "round " << round << " at " << p.x << "," << p.y;
    }
}

TEST_F(GlImGuiTest, TextIsDrawnInTheLightTextColourOverTheDarkWindow) {
    open_window(20.0f, 10.0f, 100.0f, 60.0f);
    for (int round = 0; round < 2; ++round) {
        const std::vector<uint8_t> image = frame();
        // The text line sits under the title bar at the window's left padding; the font texture
        // gives its glyphs light pixels, the background around them stays dark.
        int light = 0, dark = 0;
        for (int y = 30; y < 50; ++y)
            for (int x = 24; x < 70; ++x) {
                const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(backend->width()) + x) * 4;
                const int least = std::min({image[at], image[at + 1], image[at + 2]});
                const int most = std::max({image[at], image[at + 1], image[at + 2]});
                light += least > 180;
                dark += most < 60;
            }
        EXPECT_GT(light, 10) << "round " << round;
        EXPECT_GT(dark, 200) << "round " << round;
    }
}

TEST_F(GlImGuiTest, WindowFollowsTheDisplayItIsLaidOutFor) {
    // Laid out at the bottom right of the framebuffer: the top left stays clear.
    open_window(100.0f, 50.0f, 60.0f, 46.0f);
    const std::vector<uint8_t> image = frame();
    EXPECT_FALSE(cleared(image, 130, 80));
    EXPECT_TRUE(cleared(image, 20, 20));
}

TEST_F(GlImGuiTest, NoFrameToDrawIsReportedAndLeavesTheFramebuffer) {
    test::LogCapture log;
    backend->begin_frame(osg::Vec4f(1.0f, 1.0f, 0.0f, 1.0f));
    EXPECT_FALSE(backend->draw_imgui(nullptr));
    EXPECT_EQ(log.count("no Dear ImGui frame"), 1u) << log.dump();
    const std::vector<uint8_t> image = backend->read_colour();
    EXPECT_TRUE(cleared(image, 80, 48));
}

}  // namespace
