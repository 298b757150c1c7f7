// The statistics window used as a person uses it: its check boxes and the hold count's buttons clicked
// with the mouse, frame after frame, and the lines it shows read after frames of a small crowd of the
// sample biped drawn on the recording back-end.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "refhost/Frame.h"
#include "tests/debug/GuiDriver.h"
#include "tests/instance/TestModel.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/SampleScene.h"

namespace {

using Animator::CharacterModelBase;
using Animator::CharacterModelStatic;
using test::Gui;

constexpr const char* kWindow = "Animator statistics";

using Placed = test::PlacedCharacter;

class StatisticsWindow : public test::SampleScene {
protected:
    void SetUp() override {
        SampleScene::SetUp();
        CharacterModelBase::_statistics_enabled = true;
    }
    void TearDown() override {
        CharacterModelBase::_rendering_enabled = true;
        CharacterModelBase::_compute_enabled = true;
        CharacterModelBase::_shadow_enabled = true;
        CharacterModelStatic::batch_hold_count = 0;
        Graphics::raiseRendererEvent(8);  // lets go of lists a hold kept
        Graphics::frameHeapReset();
        CharacterModelBase::_statistics_enabled = false;
    }

    // Clicks a control; the mouse looks for it in the top of the window only, where the controls are.
    bool click(const char* label) {
        const ImVec2 size = window_size;
        window_size = ImVec2(300.0f, 120.0f);
        gui.frame();
        ImGuiWindow* w = gui.window(kWindow);
        const bool clicked = w && gui.click_item(kWindow, Gui::id(w, {}, label));
        window_size = size;
        return clicked;
    }
    // The lines of the window, and whether `line` is one of them.
    std::vector<std::string> lines() { return gui.shown_lines(kWindow); }
    static bool shows(const std::vector<std::string>& shown, const std::string& line) {
        return std::find(shown.begin(), shown.end(), line) != shown.end();
    }
    static std::string dump(const std::vector<std::string>& shown) {
        std::string out;
        for (const auto& l : shown) out += "  " + l + "\n";
        return out;
    }

    // Large enough for every line of one model; its controls at the top.
    ImVec2 window_size{420.0f, 360.0f};
    Gui gui{[this] {
        ImGui::SetNextWindowPos(ImVec2(10.0f, 10.0f));
        ImGui::SetNextWindowSize(window_size);
        CharacterModelBase::gui();
    }};
};

TEST_F(StatisticsWindow, ShownOnlyWhileStatisticsAreOn) {
    CharacterModelBase::_statistics_enabled = false;
    gui.frame();
    EXPECT_EQ(gui.window(kWindow), nullptr);
    CharacterModelBase::_statistics_enabled = true;
    gui.frame();
    EXPECT_NE(gui.window(kWindow), nullptr);
}

TEST_F(StatisticsWindow, EachCheckBoxFlipsItsSwitchAndBack) {
    const struct {
        const char* label;
        bool* flag;
    } boxes[] = {{"rendering enabled", &CharacterModelBase::_rendering_enabled},
                 {"compute enabled", &CharacterModelBase::_compute_enabled},
                 {"shadows enabled", &CharacterModelBase::_shadow_enabled}};
    for (const auto& box : boxes) {
        SCOPED_TRACE(box.label);
        ASSERT_TRUE(*box.flag);
        ASSERT_TRUE(click(box.label));
        EXPECT_FALSE(*box.flag);
        for (const auto& other : boxes) {
            if (other.flag != box.flag) {
                EXPECT_TRUE(*other.flag) << other.label << " is left alone";
            }
        }
        ASSERT_TRUE(click(box.label));
        EXPECT_TRUE(*box.flag);
    }
}

TEST_F(StatisticsWindow, MinusAndPlusChangeTheHoldCountNeverBelowZero) {
    ASSERT_TRUE(click("-"));
    EXPECT_EQ(CharacterModelStatic::batch_hold_count, 0);
    ASSERT_TRUE(click("+"));
    ASSERT_TRUE(click("+"));
    EXPECT_EQ(CharacterModelStatic::batch_hold_count, 2);
    const auto shown = lines();
    EXPECT_TRUE(shows(shown, "- 2 +")) << dump(shown);
    ASSERT_TRUE(click("-"));
    EXPECT_EQ(CharacterModelStatic::batch_hold_count, 1);
}

TEST_F(StatisticsWindow, ShowsEveryCounterOfTheLastFramePerPassAndLevel) {
    place({0, 0, 10});   // level 0 from the camera
    place({0, 0, 50});   // level 1
    place({0, 0, 300});  // beyond the last level: parsed, never drawn
    frame();
    const std::vector<std::string> expected = {
        "rendering enabled", "compute enabled", "shadows enabled", "- 0 +",
        "Models parsed, orgin: 0.000000 0.000000 0.000000",
        model->name() + ": total parsed 9",  // three instances in each of the three passes
        "main: 2", "flat shadows: 2",
        "shadow: 2",  // from the light both are at level 1
        "total robjs processed: 3",
        // Batches by name: the pass key, then the queue's class; flat shadows always have key 1.
        "100MainQueue robjs rendered: 1, instances: 2", "1FlatShadowQueue robjs rendered: 1, instances: 2",
        "200ShadowQueue robjs rendered: 1, instances: 2", "skipped robjs: 0", "Lods: 0:1 1:1"};
    auto shown = lines();
    for (const auto& line : expected) EXPECT_TRUE(shows(shown, line)) << line << " in\n" << dump(shown);

    // The next frame is counted on its own: only the main pass, every instance now at level 0, so
    // level 1 shows none although it drew one in the frame before.
    placed[1]->where = {0, 0, 5};
    placed[2]->where = {0, 0, 20};
    frame({false, false});
    shown = lines();
    const std::vector<std::string> next = {model->name() + ": total parsed 3",
                                           "main: 3",
                                           "flat shadows: 0",
                                           "shadow: 0",
                                           "total robjs processed: 1",
                                           "100MainQueue robjs rendered: 1, instances: 3",
                                           "Lods: 0:3 1:0"};
    for (const auto& line : next)
        EXPECT_TRUE(shows(shown, line)) << line << " in\n" << dump(shown);
    for (const auto& line : shown) EXPECT_EQ(line.find("ShadowQueue"), std::string::npos) << "not drawn: " << line;
}

TEST_F(StatisticsWindow, SwitchesClickedOffShowInTheCounters) {
    place({0, 0, 10});
    frame();
    const size_t all_passes = backend->count(render::Command::Dispatch);  // one level in each of three passes
    ASSERT_GT(all_passes, 0u);
    const struct {
        const char* label;
        std::vector<std::string> expected;
        size_t dispatches;
    } cases[] = {
        {"rendering enabled",
         {"main: 1", "shadow: 1", "total robjs processed: 0", "100MainQueue robjs rendered: 0, instances: 0",
          "200ShadowQueue robjs rendered: 0, instances: 0"},
         0},
        {"shadows enabled",
         {"shadow: 1", "total robjs processed: 2", "100MainQueue robjs rendered: 1, instances: 1",
          "200ShadowQueue robjs rendered: 0, instances: 0"},
         all_passes / 3 * 2},
        {"compute enabled",
         {"total robjs processed: 3", "100MainQueue robjs rendered: 1, instances: 1",
          "200ShadowQueue robjs rendered: 1, instances: 1"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(click(c.label));
        frame();
        EXPECT_EQ(backend->count(render::Command::Dispatch), c.dispatches);
        const auto shown = lines();
        for (const auto& line : c.expected) EXPECT_TRUE(shows(shown, line)) << line << " in\n" << dump(shown);
        ASSERT_TRUE(click(c.label));
    }
}

TEST_F(StatisticsWindow, HoldCountKeepsTheBatchListsUntilClickedBackToZero) {
    place({0, 0, 10});
    ASSERT_TRUE(click("+"));
    ASSERT_TRUE(click("+"));
    frame({false, false});
    EXPECT_TRUE(shows(lines(), "100MainQueue robjs rendered: 1, instances: 1"));
    frame({false, false});
    auto shown = lines();
    EXPECT_TRUE(shows(shown, "100MainQueue robjs rendered: 1, instances: 2")) << "kept and submitted again\n"
                                                                              << dump(shown);
    ASSERT_TRUE(click("-"));
    ASSERT_TRUE(click("-"));
    frame({false, false});
    EXPECT_TRUE(shows(lines(), "100MainQueue robjs rendered: 1, instances: 3"));
    frame({false, false});
    shown = lines();
    EXPECT_TRUE(shows(shown, "100MainQueue robjs rendered: 1, instances: 1")) << dump(shown);
}

TEST_F(StatisticsWindow, AFlatShadowQueueCountsFlatShadowsUnderKeyOneAndAnEmptyBatchIsSkipped) {
    Placed& a = place({0, 0, 10});
    Graphics::Context context;
    context.frame_number = host.frame_number() + 1000;
    context.pass_type = 0;  // filled during the main pass
    context.camera = camera;
    Graphics::Context::setCurrentContext(context);
    // A queue of kind 16 gathers flat shadows in whatever pass it is filled.
    refhost::PassQueue queue(77, "KindQueue", 16);
    model->render(a, queue, wPosition3<float>());
    ASSERT_EQ(queue.objects().size(), 1u);
    queue.objects()[0]->draw(Graphics::Context::getCurrentContext());
    Graphics::raiseRendererEvent(8);
    // Drawn again after the end of the frame emptied its lists: skipped.
    queue.objects()[0]->draw(Graphics::Context::getCurrentContext());
    Graphics::frameHeapReset();
    // The batch of key 1 keeps the name it got first (from this queue or an earlier flat-shadow pass).
    const auto& batches = model->get_render_state().batches;
    ASSERT_EQ(batches.count(77), 0u);
    ASSERT_EQ(batches.count(1), 1u);
    const auto shown = lines();
    const std::vector<std::string> expected = {model->name() + ": total parsed 1",
                                               "main: 0",
                                               "flat shadows: 1",
                                               "total robjs processed: 1",
                                               batches.at(1).name + " robjs rendered: 1, instances: 1",
                                               "skipped robjs: 1"};
    for (const auto& line : expected)
        EXPECT_TRUE(shows(shown, line)) << line << " in\n" << dump(shown);
}

TEST_F(StatisticsWindow, EveryModelOfTheFrameHasItsLinesAndOneDestroyedLeavesTheWindow) {
    place({0, 0, 10});
    {
        test::ModelHarness second("model = 'biped/biped_body.assbin'\nmodel_path = '/models/biped/'\nskeleton = 'biped'\n",
                                  "second.chanimgpu");
        Placed other(second.cookie(), {0, 0, 12});
        frame({false, false}, {{second.model.get(), &other}});
        const auto shown = lines();
        EXPECT_TRUE(shows(shown, "second.chanimgpu: total parsed 1")) << dump(shown);
        EXPECT_TRUE(shows(shown, model->name() + ": total parsed 1")) << dump(shown);
        EXPECT_EQ(std::count(shown.begin(), shown.end(), "100MainQueue robjs rendered: 1, instances: 1"), 2);
    }
    render::set_backend(backend);
    const auto shown = lines();
    EXPECT_FALSE(shows(shown, "second.chanimgpu: total parsed 1")) << dump(shown);
    EXPECT_TRUE(shows(shown, model->name() + ": total parsed 1")) << dump(shown);
}

}  // namespace
