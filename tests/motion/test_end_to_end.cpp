// A placed sample character walks a planned distance and stops, then turns on the spot; the host's
// view of it is read through `update` and `get_movement_shift` while model time runs.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/motion/ControllerFixture.h"

using EndToEnd = motion_test::ControllerTest;
using motion_test::heading_of;

namespace {
constexpr float kStep = 1.0f / 30.0f;
float heading_of(const wPosition3<float>& p) { return -std::atan2(p.m[0][2], p.m[0][0]); }
}  // namespace

TEST_F(EndToEnd, CharacterWalksThePlannedDistanceAndStops) {
    int calls = 0;
    controller.route_end_callback = [&] { ++calls; };
    const float distance = 6.0f, t0 = 1.0f;
    clock.set(t0);
    const float end = controller.move(t0, 0.0f, 1.5f, 0.0f, distance);
    ASSERT_TRUE(end > t0 && end < t0 + 60.0f) << end;

    // Step model time through the move, as a host would each frame. While moving the ideal root is not
    // used, and the root never runs back by more than a blend's wobble.
    float covered = 0.0f;
    for (float t = t0; t < end; t += kStep) {
        clock.set(t);
        ASSERT_TRUE(controller.get_route_flag()) << "at " << t;
        const float d = std::get<2>(controller.update(t, false));
        const auto shift = controller.get_movement_shift(t);
        EXPECT_TRUE(d == std::get<3>(shift) && std::get<1>(shift).isIdentity()) << "at " << t;
        EXPECT_GE(d, covered - 0.05f) << "at " << t;
        covered = d;
    }
    EXPECT_NEAR(covered, distance, 0.1f * distance) << log.dump();
    EXPECT_EQ(calls, 0);

    // The first query at the end ends the move and calls back once; the stack then ends in idle.
    clock.set(end);
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(state_at(end + 0.3f), "idle");

    // A stopped move ends without calling back.
    controller.move(end, 0.0f, 1.5f, 0.0f, distance);
    controller.stop_move();
    clock.set(1000.0);
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_EQ(calls, 1);
}

TEST_F(EndToEnd, TurnEndsInIdleWithTheCharacterTurned) {
    const float angle = float(M_PI / 2);
    const float idle = controller.turn(1.0f, angle);
    EXPECT_NEAR(idle, 1.0f + duration("S_Turn"), 1e-3);
    EXPECT_EQ(state_at(idle - 0.01f), "s_turn");
    EXPECT_EQ(state_at(idle + 0.01f), "idle");

    // Just before idle begins the root has turned through the whole turn.
    const float t = idle - 0.5f * kStep;
    clock.set(t);
    EXPECT_NEAR(heading_of(std::get<0>(controller.update(t, false))), angle, 0.15f);
    EXPECT_NEAR(heading_of(std::get<2>(controller.get_movement_shift(t))), angle, 0.15f);
}
