// Host threads that load models of skeleton types mounted after the registry was filled, and threads
// that read the render context while another sets it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/Graphics.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;

TEST(ConcurrentRequests, TypesMountedLaterJoinTheRegistryFromSeveralThreads) {
    test::LogCapture log;
    libtest::SkeletonType first("first_type");
    first.clip("idle.lua");
    ASSERT_NE(find_animation_manager("first_type"), nullptr);  // fills the registry

    libtest::SkeletonType late_a("late_a"), late_b("late_b");
    late_a.clip("idle.lua");
    late_b.clip("idle.lua");
    std::vector<AnimationManager*> found(4, nullptr);
    const char* types[] = {"late_a", "late_b", "late_a", "late_b"};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { found[i] = find_animation_manager(types[i]); });
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(found[i], nullptr) << types[i];
        EXPECT_TRUE(found[i]->is_loaded()) << types[i];
        EXPECT_EQ(found[i]->get_num_animations(), 1);
    }
    EXPECT_EQ(found[0], found[2]);
    EXPECT_EQ(found[1], found[3]);
    destroy_animation_managers();
}

TEST(ConcurrentRequests, TheRenderContextIsReadWhileAnotherThreadSetsIt) {
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (uint64_t frame = 1; frame <= 20000; ++frame) {
            Graphics::Context context;
            context.frame_number = frame;
            context.time = static_cast<double>(frame);
            Graphics::Context::setCurrentContext(context);
        }
        done = true;
    });
    uint64_t last = 0;
    while (!done) {
        const Graphics::Context* context = Graphics::Context::getCurrentContext();
        EXPECT_EQ(context->time, static_cast<double>(context->frame_number)) << "a torn context";
        EXPECT_GE(context->frame_number, last);
        last = context->frame_number;
    }
    setter.join();
}
