// The logger and its sinks, model time, liveries, terrain and GUI registration.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <imgui/imgui.h>

#include "host/ImGuiReg.h"
#include "host/Log.h"
#include "refhost/FlatTerrain.h"
#include "refhost/LiveryManager.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(Log, LongMessagesAreNotTruncatedAndSinksSeeEveryMessage) {
    test::LogCapture log;
    std::string long_text(5000, 'z');
    orn_logf("ANIMATOR", 8, "error loading %s", long_text.c_str());
    orn_logf("ANIMATOR", 64, "load_basic() started");
    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].tag, "ANIMATOR");
    EXPECT_EQ(entries[0].severity, 8);
    EXPECT_EQ(entries[0].text, "error loading " + long_text);
    EXPECT_TRUE(log.has(64, "load_basic"));
    EXPECT_FALSE(log.has(8, "load_basic"));
}

TEST(Log, RemovedSinksHearNothingAndThreadsMayLogTogether) {
    {
        test::LogCapture inner;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 100; ++i) orn_logf("T", 16, "thread %d message %d", t, i);
            });
        for (auto& th : threads) th.join();
        EXPECT_EQ(inner.count("message"), 400u);
    }
    test::LogCapture after;
    orn_logf("T", 16, "later");
    EXPECT_EQ(after.size(), 1u);
}

TEST(ModelTime, IsWhatTheHostSet) {
    wTime::SetModelTime(12.25);
    EXPECT_EQ(wTime::GetModelTime(), 12.25);
    wTime::SetModelTime(0.0);
}

TEST(Livery, RegisteredTexturesAreEnumeratedByHandle) {
    auto& manager = refhost::LiveryManager::reference();
    manager.add_livery(7, {{0, "red_diffuse.dds", "red"}, {2, "red_spec.dds", "red"}});
    ILiveryManager* livery = ILiveryManager::instance();
    ASSERT_EQ(livery, &manager);
    std::vector<std::pair<int, std::string>> seen;
    EXPECT_TRUE(livery->enumerateTextures(7, [&](int ch, const std::string& tex, const std::string&) {
        seen.emplace_back(ch, tex);
    }));
    std::vector<std::pair<int, std::string>> expected{{0, "red_diffuse.dds"}, {2, "red_spec.dds"}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(livery->enumerateTextures(8, nullptr));
    manager.remove_livery(7);
    EXPECT_FALSE(livery->enumerateTextures(7, nullptr));
}

TEST(Terrain, DefaultIsFlatGroundAndCanBeReplaced) {
    osg::Vec3f hit, normal;
    ASSERT_TRUE(ornterrain::ITerrain::GetDefaultTerrain()->getSurface(osg::Vec3d(3, 10, -4), hit, normal));
    EXPECT_EQ(hit, osg::Vec3f(3, 0, -4));
    EXPECT_EQ(normal, osg::Vec3f(0, 1, 0));
    refhost::FlatTerrain raised(2.5);
    refhost::set_default_terrain(&raised);
    ASSERT_TRUE(ornterrain::ITerrain::GetDefaultTerrain()->getSurface(osg::Vec3d(1, 0, 1), hit, normal));
    EXPECT_EQ(hit.y(), 2.5f);
    refhost::set_default_terrain(nullptr);
}

TEST(ImGuiReg, FunctionsRunOncePerFrameUntilTheyLeave) {
    const size_t before = ImGui::orn::registered_count();
    int kept = 0, once = 0;
    uint32_t a = ImGui::orn::reg([&] {
        ++kept;
        ImGui::Begin("test window");  // a real frame is open
        ImGui::Text("frame");
        ImGui::End();
        return ImGui::orn::keep_registered;
    });
    uint32_t b = ImGui::orn::reg([&] {
        ++once;
        return ImGui::orn::unregister_me;
    });
    EXPECT_NE(a, 0u);
    EXPECT_GT(b, a);
    EXPECT_EQ(ImGui::orn::registered_count(), before + 2);
    ImGui::orn::run_frame();
    ImGui::orn::run_frame();
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(ImGui::orn::registered_count(), before + 1);
    ImGui::orn::unreg(a);
    ImGui::orn::unreg(a);  // twice is harmless
    ImGui::orn::run_frame();
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(ImGui::orn::registered_count(), before);
}

}  // namespace
