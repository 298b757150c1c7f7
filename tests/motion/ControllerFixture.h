// The sample character standing in "Idle" with an animation controller on it, under a model clock the
// test sets by hand.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/motion/AnimationController.h"
#include "host/Strings.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

namespace motion_test {

// Heading of the matrix's x axis (the direction the character faces).
inline float heading_of(const osg::Matrixf& m) { return -std::atan2(m(0, 2), m(0, 0)); }

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest()
        : cookie(test::new_character()), controller(cookie.get()), graph(test::biped_manager().get_graph()) {
        enter("Idle", 0.0f);
    }
    float duration(const char* state) { return graph->get_blendspace(std::string(state))->get_duration(&controller); }
    std::string state_at(float t) { return orn::toLower(controller.get_current_state_name(t)); }
    // Walks the character from its current state into `state`, starting at t.
    void enter(const char* state, float t) { controller.change_animation_state(t, state, true); }

    test::LogCapture log;
    test::ManualClock clock;
    std::unique_ptr<Animator::CharacterModelCookie> cookie;
    Animator::AnimationController controller;
    Animator::AnimationGraph* graph;
};

}  // namespace motion_test
