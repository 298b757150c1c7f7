// The animation controller on the sample character: state changes, finishing, the movement shift of
// a standing character and requests it can not serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "animator/util/Log.h"
#include "tests/motion/ControllerFixture.h"

using Animator::ShaderBlendSpace2D;
using motion_test::ControllerTest;

// Each step after the first starts by its transition's mode; the answer is the last step's start and
// cycle duration, or (t, 0) when the path has no step to apply.
TEST_F(ControllerTest, PathStepsStartByTheirTransitionModes) {
    controller.set_property("num_cycles", 3.0f);
    EXPECT_EQ(controller.change_animation_state(1.0f, "Idle", true), osg::Vec2f(1.0f, 0.0f));
    EXPECT_EQ(cookie->get_stack_size(), 1);
    EXPECT_EQ(controller.get_property("num_cycles"), 0.0f);

    // `waits`: the states whose durations pass before the last step; `at_t`: the state just after t.
    struct Case { const char *from, *target; float t; std::vector<const char*> waits; float extra; const char* at_t; };
    const Case cases[] = {
        // Idle -> S_MoveStart (immediate) -> S_Move (sequental) -> S_MoveStopRU (sequental).
        {"Idle", "S_MoveStopRU", 2.0f, {"S_MoveStart", "S_Move"}, 0.0f, "s_movestart"},
        // S_Turn -> Idle (sequental: waits for the turn) -> S_MoveStart (immediate: the 0.25 of the transition).
        {"S_Turn", "S_MoveStart", 1.0f, {"S_Turn"}, 0.25f, "s_turn"},
        // S_Move -> Idle is a "blend" transition: at the given time.
        {"S_Move", "Idle", 5.0f, {}, 0.0f, "idle"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        cookie->clear_data();
        enter(c.from, 1.0f);
        float expected = c.t + c.extra;
        for (const char* s : c.waits) expected += duration(s);
        const osg::Vec2f r = controller.change_animation_state(c.t, c.target, false);
        EXPECT_NEAR(r.x(), expected, 1e-4);
        EXPECT_NEAR(r.y(), duration(c.target), 1e-4);
        EXPECT_EQ(state_at(c.t + 0.01f), c.at_t);
        EXPECT_EQ(state_at(r.x() + 0.01f), orn::toLower(c.target));
        EXPECT_NEAR(controller.get_current_state_start_duration(r.x() + 0.01f).x(), r.x(), 1e-4);
    }
}

TEST_F(ControllerTest, FinishAnimationWindows) {
    auto top = [&] { return cookie->get_stack(0).back(); };
    // Replaces the stack with one looping record of "S_Move" starting at t.
    auto only_loop = [&](float t) {
        Animator::TransitionParams p;
        p.loop = true;
        p.transition_duration = p.animation_start_shift = 0.0f;
        ShaderBlendSpace2D out;
        cookie->clear_data();
        graph->get_blendspace(std::string("S_Move"))->apply(t, cookie.get(), &controller, p, out);
        return out;
    };
    // Not looping: nothing changes.
    enter("S_MoveStart", 1.0f);
    const ShaderBlendSpace2D once = top();
    const int size = cookie->get_stack_size();
    EXPECT_NEAR(controller.finish_animation(1.1f), once.start_time + once.cycle_duration, 1e-5);
    EXPECT_FLOAT_EQ(controller.finish_animation(100.0f), 100.0f);
    EXPECT_EQ(cookie->get_stack_size(), size);

    // Looping, in its third cycle: ends with that cycle, alone on the stack.
    const ShaderBlendSpace2D loop = only_loop(2.0f);
    const float cycle = loop.cycle_duration;
    ASSERT_TRUE(loop.loop > 0.0f && cycle > 0.0f);
    EXPECT_NEAR(controller.finish_animation(loop.start_time + 2.3f * cycle), loop.start_time + 3.0f * cycle, 1e-3);
    EXPECT_EQ(cookie->get_stack_size(), 1);
    EXPECT_TRUE(top().loop == 0.0f && std::fabs(top().start_time - (loop.start_time + 2.0f * cycle)) < 1e-3);

    // Looping, window not reached yet: plays its first cycle once.
    const ShaderBlendSpace2D later = only_loop(10.0f);
    EXPECT_NEAR(controller.finish_animation(9.0f), 10.0f + later.cycle_duration, 1e-4);
    EXPECT_TRUE(top().loop == 0.0f && top().start_time == 10.0f);
}

TEST_F(ControllerTest, MovementShiftOfAStandingCharacter) {
    const auto [S, A, M, D] = controller.get_movement_shift(0.5f);
    // Idle does not move its root: the ideal root faces +X, D is the projected x.
    EXPECT_NEAR(motion_test::heading_of(A), 0.0f, 1e-5);
    EXPECT_NEAR((A.getTrans() - osg::Vec3d(M(3, 0), 0, 0)).length(), 0.0, 1e-5);
    EXPECT_NEAR(D, M(3, 0), 1e-5);
    EXPECT_TRUE(std::all_of(S.ptr(), S.ptr() + 16, [](float x) { return std::isfinite(x); }));
}

TEST_F(ControllerTest, UnknownStatesThrowAndAControllerWithoutCharacterAnswersNeutrally) {
    EXPECT_THROW(controller.change_animation_state(0.0f, "NoSuchState", false), std::out_of_range);

    Animator::AnimationController none(nullptr);
    EXPECT_EQ(none.change_animation_state(2.0f, "Idle", true), osg::Vec2f(2.0f, 0.0f));
    EXPECT_TRUE(none.turn(2.0f, 1.0f) == 2.0f && none.move(3.0f, 0.0f, 1.5f, 0.0f, 6.0f) == 3.0f);
    EXPECT_TRUE(!none.get_route_flag() && none.finish_animation(4.0f) == 4.0f);
    EXPECT_TRUE(none.get_current_state_name(1.0f).empty() && none.get_current_state_start_duration(1.0f).length() == 0);
    const auto shift = none.get_movement_shift(1.0f);
    EXPECT_TRUE(std::get<0>(shift).isIdentity() && std::get<2>(shift).isIdentity() && std::get<3>(shift) == 0.0f);
    EXPECT_EQ(std::get<2>(none.update(1.0f, false)), 0.0f);
    EXPECT_TRUE(log.has(Animator::LOG_ERROR, "animation controller without a character") &&
                log.has(Animator::LOG_ERROR, "move: the character has no animation graph"))
        << log.dump();
}
