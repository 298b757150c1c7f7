// A renderer reset (event 1) raised again and again while another thread loads a library: the loading
// thread's library survives the reset whole, and its GPU data is made again when next needed.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "host/Graphics.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;

TEST(RendererResetWhileLoading, TheLoadingThreadKeepsAWholeLibrary) {
    test::LogCapture log;
    libtest::SkeletonType type("reset_while_loading");
    const int clips = 12;
    for (int i = 0; i < clips; ++i) type.clip("clip" + std::to_string(i) + ".lua");
    for (int round = 0; round < 10; ++round) {
        std::atomic<bool> done{false};
        std::shared_ptr<AnimationManager> kept;
        std::thread loader([&] {
            kept = share_animation_manager("reset_while_loading");
            done = true;
        });
        do Graphics::raiseRendererEvent(1);
        while (!done);
        loader.join();
        ASSERT_NE(kept, nullptr) << "round " << round;
        EXPECT_TRUE(kept->is_loaded()) << "round " << round;
        EXPECT_EQ(kept->get_num_animations(), clips) << "round " << round;
        kept->compute({});
        EXPECT_TRUE(kept->is_gpu_created()) << "round " << round;
        // A request after the reset gets the registry's library, loaded whole.
        std::shared_ptr<AnimationManager> later = share_animation_manager("reset_while_loading");
        ASSERT_NE(later, nullptr);
        EXPECT_EQ(later->get_num_animations(), clips);
    }
    destroy_animation_managers();
}
