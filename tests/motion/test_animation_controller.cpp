// The animation controller on the sample character: state changes, finishing, turning, moving and
// the movement shift.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/motion/AnimationController.h"
#include "host/Strings.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using Animator::AnimationController;
using Animator::ShaderBlendSpace2D;

namespace {

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest()
        : cookie(test::new_character()), controller(cookie.get()),
          graph(test::biped_manager().get_graph()) {}

    float duration(const char* state) {
        return graph->get_blendspace(std::string(state))->get_duration(&controller);
    }
    int id_of(const char* state) { return graph->get_blendspace(std::string(state))->get_id(); }
    std::string state_at(float t) { return orn::toLower(controller.get_current_state_name(t)); }
    const ShaderBlendSpace2D& top() { return cookie->get_stack(0).back(); }
    // Walks the character from its current state into `state`, starting at t.
    void enter(const char* state, float t) { controller.change_animation_state(t, state, true); }
    // Replaces the stack with one record of `state` starting at t.
    ShaderBlendSpace2D only(const char* state, float t, bool loop) {
        Animator::TransitionParams p;
        p.loop = loop;
        p.transition_duration = 0.0f;
        p.animation_start_shift = 0.0f;
        ShaderBlendSpace2D out;
        cookie->clear_data();
        graph->get_blendspace(std::string(state))->apply(t, cookie.get(), &controller, p, out);
        return out;
    }

    test::LogCapture log;
    test::ManualClock clock;
    std::unique_ptr<Animator::CharacterModelCookie> cookie;
    AnimationController controller;
    Animator::AnimationGraph* graph;
};

float heading_of(const osg::Matrixf& m) { return -std::atan2(m(0, 2), m(0, 0)); }

}  // namespace

TEST_F(ControllerTest, SampleGraphIsThere) {
    ASSERT_NE(graph, nullptr);
    for (const char* s : {"Idle", "S_MoveStart", "S_Move", "S_MoveStopRU", "S_Turn"})
        EXPECT_NO_THROW(graph->get_blendspace(std::string(s))) << s;
    EXPECT_GT(duration("S_MoveStart"), 0.0f);
}

TEST_F(ControllerTest, OneStepPathAppliesNothing) {
    // The character starts on its idle timeline (entry 0 or the idle state).
    const osg::Vec2f r = controller.change_animation_state(1.0f, "Idle", true);
    EXPECT_EQ(r, osg::Vec2f(1.0f, 0.0f));
    EXPECT_EQ(cookie->get_stack_size(), 1);
    EXPECT_EQ(controller.get_property("num_cycles"), 0.0f);
}

TEST_F(ControllerTest, SequentialStepsFollowEachOther) {
    enter("Idle", 0.0f);
    // Idle -> S_MoveStart (immediate) -> S_Move (sequental) -> S_MoveStopRU (sequental).
    const osg::Vec2f r = controller.change_animation_state(2.0f, "S_MoveStopRU", false);
    const float start = duration("S_MoveStart");
    const float loop = duration("S_Move");
    EXPECT_NEAR(r.x(), 2.0f + start + loop, 1e-4);
    EXPECT_NEAR(r.y(), duration("S_MoveStopRU"), 1e-4);
    const auto& stack = cookie->get_stack(0);
    ASSERT_GE(stack.size(), 3u);
    EXPECT_EQ(stack[stack.size() - 3].blend_space_id, id_of("S_MoveStart"));
    EXPECT_NEAR(stack[stack.size() - 3].start_time, 2.0f, 1e-6);
    EXPECT_NEAR(stack[stack.size() - 2].start_time, 2.0f + start, 1e-4);
    EXPECT_EQ(state_at(r.x() + 0.01f), "s_movestopru");
}

TEST_F(ControllerTest, ImmediateSecondStepWaitsForTheFirstTransition) {
    enter("S_Turn", 1.0f);
    const float turn_end = 1.0f + top().cycle_duration;
    // S_Turn -> Idle (sequental: waits for the turn to finish) -> S_MoveStart (immediate: 0.25 later).
    const osg::Vec2f r = controller.change_animation_state(1.0f, "S_MoveStart", false);
    EXPECT_NEAR(r.x(), turn_end + 0.25f, 1e-4);
    EXPECT_NEAR(r.y(), duration("S_MoveStart"), 1e-4);
}

TEST_F(ControllerTest, OtherModesStartAtTheGivenTime) {
    enter("S_Move", 0.0f);
    // S_Move -> Idle is a "blend" transition.
    const osg::Vec2f r = controller.change_animation_state(5.0f, "Idle", false);
    EXPECT_NEAR(r.x(), 5.0f, 1e-6);
    EXPECT_EQ(state_at(5.01f), "idle");
}

TEST_F(ControllerTest, FinishAnimationWindows) {
    enter("S_MoveStart", 1.0f);
    const ShaderBlendSpace2D once = top();
    const int size = cookie->get_stack_size();
    // Not looping: nothing changes.
    EXPECT_NEAR(controller.finish_animation(1.1f), once.start_time + once.cycle_duration, 1e-5);
    EXPECT_FLOAT_EQ(controller.finish_animation(100.0f), 100.0f);
    EXPECT_EQ(cookie->get_stack_size(), size);

    // Looping, in its third cycle: ends with that cycle, alone on the stack.
    const ShaderBlendSpace2D loop = only("S_Move", 2.0f, true);
    ASSERT_GT(loop.loop, 0.0f);
    const float cycle = loop.cycle_duration;
    ASSERT_GT(cycle, 0.0f);
    const float t = loop.start_time + 2.3f * cycle;
    EXPECT_NEAR(controller.finish_animation(t), loop.start_time + 3.0f * cycle, 1e-3);
    EXPECT_EQ(cookie->get_stack_size(), 1);
    EXPECT_EQ(top().loop, 0.0f);
    EXPECT_NEAR(top().start_time, loop.start_time + 2.0f * cycle, 1e-3);

    // Looping, window not reached yet: plays its first cycle once.
    const ShaderBlendSpace2D later = only("S_Move", 10.0f, true);
    EXPECT_NEAR(controller.finish_animation(9.0f), 10.0f + later.cycle_duration, 1e-4);
    EXPECT_EQ(top().loop, 0.0f);
    EXPECT_EQ(top().start_time, 10.0f);
}

TEST_F(ControllerTest, TurnEndsInIdleAndKeepsTheAngle) {
    enter("Idle", 0.0f);
    const float idle_start = controller.turn(1.0f, float(M_PI / 2));
    EXPECT_EQ(controller.get_property("turn_angle"), float(M_PI / 2));
    EXPECT_GT(idle_start, 1.0f);
    EXPECT_EQ(state_at(idle_start - 0.01f), "s_turn");
    EXPECT_EQ(state_at(idle_start + 0.01f), "idle");
    EXPECT_NEAR(idle_start, 1.0f + duration("S_Turn"), 1e-3);
}

TEST_F(ControllerTest, MoveEndsAtTheRouteEndTimeAndCallsBackOnce) {
    enter("Idle", 0.0f);
    int calls = 0;
    controller.route_end_callback = [&] { ++calls; };
    const float end = controller.move(0.0f, 0.0f, 1.5f, 0.0f, 6.0f);
    EXPECT_EQ(end, controller.get_route_end_time());
    EXPECT_GT(end, 0.0f);
    EXPECT_TRUE(std::isfinite(controller.get_property("num_cycles")));
    clock.set(end * 0.5);
    EXPECT_TRUE(controller.get_route_flag());
    clock.set(end);
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_EQ(calls, 1);
    // The stack ends in idle after the stop phase.
    EXPECT_EQ(state_at(end + 0.3f), "idle");

    controller.move(end, 0.0f, 1.5f, 0.0f, 6.0f);
    controller.stop_move();
    clock.set(1000.0);
    EXPECT_FALSE(controller.get_route_flag());
    EXPECT_EQ(calls, 1);
}

TEST_F(ControllerTest, MovementShiftOfAStandingCharacter) {
    enter("Idle", 0.0f);
    const auto [S, A, M, D] = controller.get_movement_shift(0.5f);
    // Idle does not move its root: the ideal root faces +X, D is the projected x.
    EXPECT_NEAR(heading_of(A), 0.0f, 1e-5);
    EXPECT_NEAR(A(3, 0), M(3, 0), 1e-5);
    EXPECT_NEAR(A(3, 2), 0.0f, 1e-5);
    EXPECT_NEAR(D, M(3, 0), 1e-5);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(std::isfinite(S.ptr()[i]));
}

TEST_F(ControllerTest, MovementShiftWhileMovingGrows) {
    enter("Idle", 0.0f);
    const float end = controller.move(0.0f, 0.0f, 1.5f, 0.0f, 6.0f);
    float last = -1.0f;
    for (float t = 0.0f; t <= end; t += 0.1f) {
        const auto shift = controller.get_movement_shift(t);
        const float d = std::get<3>(shift);
        EXPECT_GE(d, last - 0.05f) << "at " << t;
        EXPECT_TRUE(std::get<1>(shift).isIdentity());
        last = d;
    }
    EXPECT_GT(last, 3.0f);
}

TEST_F(ControllerTest, MissingStatesThrowFromTheGraph) {
    EXPECT_THROW(controller.change_animation_state(0.0f, "NoSuchState", false), std::out_of_range);
}
