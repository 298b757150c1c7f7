// The host logger and its sinks, and GUI registration.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <imgui/imgui.h>

#include "host/ImGuiReg.h"
#include "host/Log.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(Log, LongMessagesAreKeptWholeAndSinksHearEveryThreadUntilRemoved) {
    auto log = std::make_unique<test::LogCapture>();
    const std::string long_text(5000, 'z');
    orn_logf("ANIMATOR", 8, "error loading %s", long_text.c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] { for (int i = 0; i < 100; ++i) orn_logf("T", 16, "thread %d message %d", t, i); });
    for (auto& th : threads) th.join();
    const auto first = log->entries().at(0);
    EXPECT_TRUE(first.tag == "ANIMATOR" && first.severity == 8 && first.text == "error loading " + long_text);
    EXPECT_EQ(log->count(16, "message"), 400u) << "messages from every thread";
    log.reset();  // its sink goes with it
    test::LogCapture after;
    orn_logf("T", 16, "later");
    EXPECT_EQ(after.size(), 1u);
}

TEST(ImGuiReg, FunctionsRunOncePerFrameUntilTheyLeave) {
    const size_t before = ImGui::orn::registered_count();
    int kept = 0, once = 0;
    const uint32_t a = ImGui::orn::reg([&] {
        ImGui::Begin("test window");  // a real frame is open
        ImGui::Text("frame %d", ++kept);
        ImGui::End();
        return ImGui::orn::keep_registered;
    });
    ImGui::orn::reg([&] { return ++once, ImGui::orn::unregister_me; });
    ImGui::orn::run_frame();
    ImGui::orn::run_frame();
    EXPECT_TRUE(kept == 2 && once == 1 && ImGui::orn::registered_count() == before + 1);
    ImGui::orn::unreg(a);
    ImGui::orn::unreg(a);  // twice is harmless
    ImGui::orn::run_frame();
    EXPECT_TRUE(kept == 2 && ImGui::orn::registered_count() == before);
}

}  // namespace
