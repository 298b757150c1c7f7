// A placed sample character walks a planned distance and stops, then turns on the spot; the host's
// view of it is read through `update` and `get_movement_shift` while model time runs.
#include <gtest/gtest.h>

#include <cmath>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/motion/AnimationController.h"
#include "animator/util/MathUtils.h"
#include "host/Strings.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using Animator::AnimationController;

namespace {

constexpr float kStep = 1.0f / 30.0f;

float heading_of(const osg::Matrixf& m) { return -std::atan2(m(0, 2), m(0, 0)); }
float heading_of(const wPosition3<float>& p) { return -std::atan2(p.m[0][2], p.m[0][0]); }

}  // namespace

TEST(EndToEnd, CharacterWalksThePlannedDistanceAndStops) {
    test::LogCapture log;
    test::ManualClock clock(0.0);
    auto cookie = test::new_character();
    AnimationController controller(cookie.get());
    controller.change_animation_state(0.0f, "Idle", true);

    const float distance = 6.0f;
    const float t0 = 1.0f;
    clock.set(t0);
    const float end = controller.move(t0, 0.0f, 1.5f, 0.0f, distance);
    ASSERT_GT(end, t0);
    ASSERT_LT(end, t0 + 60.0f);

    // Step model time through the move, as a host would each frame.
    float covered = 0.0f;
    float last = 0.0f;
    bool moving = true;
    for (float t = t0; t < end; t += kStep) {
        clock.set(t);
        moving = controller.get_route_flag();
        ASSERT_TRUE(moving) << "at " << t;
        const auto [instance, shift, d, root] = controller.update(t, false);
        const auto [S, A, M, D] = controller.get_movement_shift(t);
        EXPECT_EQ(d, D);
        ASSERT_TRUE(std::isfinite(d));
        // The root never runs backwards by more than a blend's wobble.
        EXPECT_GE(d, last - 0.05f) << "at " << t;
        last = d;
        covered = d;
    }
    EXPECT_NEAR(covered, distance, 0.1f * distance) << log.dump();

    clock.set(end);
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_EQ(orn::toLower(controller.get_current_state_name(end + 0.5f)), "idle");
}

TEST(EndToEnd, TurnLeavesTheCharacterTurned) {
    test::LogCapture log;
    test::ManualClock clock(0.0);
    auto cookie = test::new_character();
    AnimationController controller(cookie.get());
    controller.change_animation_state(0.0f, "Idle", true);

    const float angle = float(M_PI / 2);
    const float idle = controller.turn(1.0f, angle);
    ASSERT_GT(idle, 1.0f);

    // Just before idle begins the root has turned through the whole turn.
    const float t = idle - 0.5f * kStep;
    clock.set(t);
    const auto [instance, shift, d, root] = controller.update(t, false);
    const auto [S, A, M, D] = controller.get_movement_shift(t);
    const float turned = heading_of(M);
    EXPECT_NEAR(turned, angle, 0.15f) << "turned by " << turned;
    EXPECT_NEAR(heading_of(instance), angle, 0.15f);
    EXPECT_EQ(orn::toLower(controller.get_current_state_name(idle + 0.01f)), "idle");
}
