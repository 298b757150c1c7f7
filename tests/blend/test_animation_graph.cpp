// The state graph built from descriptor globals: entry ids, case rules, transition settings, the
// shortest-path query and the safe answers for ids and types that no state has.
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "host/Strings.h"
#include "tests/blend/BlendFixtures.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::AnimationGraph;

class GraphTest : public ::testing::Test {
protected:
    // Runs the descriptor text and builds the graph (entries get no library).
    void build(const std::string& text) {
        ASSERT_TRUE(lua.run(text));
        graph.init(lua.cfg(), nullptr);
    }
    std::vector<std::string> keys(const AnimationGraph::GraphQuery& q) const {
        std::vector<std::string> out;
        for (const auto& step : q.path) out.push_back(step.state.key);
        return out;
    }

    blendtest::LuaState lua;
    AnimationGraph graph;
};

const char* CHAIN = R"(
anim_states = {
  A = { name = "Idle", type = "animation", loop = true },
  B = { name = "walk", type = "1D", x_axis = { name = "speed" }, { x = 0, animation = "w0" }, { x = 1, animation = "w1" } },
  C = { name = "Move", type = "2D" },
  D = { name = "alone", type = "animation" },
}
transitions = {
  { source = "a", target = "B", params = { transition_duration = 0.25, loop = true, animation_start_shift = 0.1,
                                           next_animation_mode = "sequental", loop_range = { 0.5, 1.5 } } },
  { source = "B", target = "c", params = { transition_duration = 0.5 } },
  { source = "a", target = "b", params = { transition_duration = 9 } },
}
)";

TEST_F(GraphTest, StatesKeepLowerCaseKeysAndNamesAndTheirTypes) {
    build(CHAIN);
    ASSERT_EQ(graph.num_states(), 4u);
    EXPECT_EQ(graph.num_entries(), 4u);
    for (size_t v = 0; v < graph.num_states(); ++v) {
        const auto& s = graph.graph()[v];
        SCOPED_TRACE(s.key);
        ASSERT_NE(s.animation, nullptr);
        EXPECT_EQ(s.index, static_cast<int>(v));
        EXPECT_EQ(s.animation->get_id(), static_cast<int>(v)) << "without a default entry states start at id 0";
        EXPECT_EQ(graph.get_blendspace(static_cast<int>(v)), s.animation);
        EXPECT_EQ(graph.get_state_name(s.animation->get_id()), s.key);
    }
    EXPECT_EQ(graph.graph()[graph.get_graph_path("a", "a").path[0].state.index].name, "idle");
    EXPECT_EQ(graph.get_blendspace("C")->get_type(), Animator::BS_2D);
    EXPECT_EQ(graph.get_default_blendspace(), graph.graph()[0].animation);
    EXPECT_EQ(graph.get_blendspace("A"), graph.get_blendspace("a"));
    EXPECT_EQ(graph.get_cycle("C"), osg::Vec2f(0, 0));
}

TEST_F(GraphTest, PathRunsThroughTheFewestTransitionsWithTheTransitionIntoEachStep) {
    build(CHAIN);
    const auto q = graph.get_graph_path("A", "c");
    ASSERT_EQ(keys(q), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(q.timing, -1.0f);
    // Step 0 carries a copy of the first transition; later steps the transition into them.
    EXPECT_EQ(q.path[0].transition.target, "b");
    EXPECT_EQ(q.path[1].transition.source, "a");
    EXPECT_TRUE(q.path[2].transition.source == "b" && q.path[2].transition.target == "c");
    EXPECT_FLOAT_EQ(q.path[2].transition.params.transition_duration, 0.5f);
    for (const auto& step : q.path)
        for (float t : step.timing) EXPECT_EQ(t, -1.0f);
}

TEST_F(GraphTest, FirstDeclaredTransitionWinsAmongParallelOnesAndEqualLengthBranches) {
    build(CHAIN);
    const auto q = graph.get_graph_path("a", "b");
    ASSERT_EQ(q.path.size(), 2u);
    const auto& p = q.path[1].transition.params;
    EXPECT_FLOAT_EQ(p.transition_duration, 0.25f);
    EXPECT_FLOAT_EQ(p.animation_start_shift, 0.1f);
    EXPECT_TRUE(p.loop && p.next_animation_mode == "sequental");
    EXPECT_EQ(p.loop_range, std::optional<osg::Vec2f>(osg::Vec2f(0.5f, 1.5f)));
    EXPECT_EQ(boost::num_edges(graph.graph()), 3u) << "parallel transitions are all kept";

    const std::string states = R"(anim_states = { s = { type = "animation" }, l = { type = "animation" },
                                                  r = { type = "animation" }, t = { type = "animation" } })";
    const std::pair<const char*, const char*> branches[] = {
        {R"({ { source = "s", target = "r" }, { source = "s", target = "l" }, { source = "l", target = "t" },
              { source = "r", target = "t" } })", "r"},
        {R"({ { source = "s", target = "l" }, { source = "s", target = "r" }, { source = "r", target = "t" },
              { source = "l", target = "t" } })", "l"}};
    for (const auto& [transitions, via] : branches) {
        blendtest::LuaState lua2;
        AnimationGraph other;
        ASSERT_TRUE(lua2.run(states + "\ntransitions = " + transitions));
        other.init(lua2.cfg(), nullptr);
        EXPECT_EQ(keys(other.get_graph_path("S", "T")), (std::vector<std::string>{"s", via, "t"}));
    }
}

TEST_F(GraphTest, SameStateAndUnreachableTargetGiveOneStepWithDefaultTransition) {
    build(CHAIN);
    for (const auto& [from, to] : {std::pair<const char*, const char*>{"b", "B"}, {"a", "d"}, {"c", "a"}}) {
        const auto q = graph.get_graph_path(from, to);
        ASSERT_EQ(q.path.size(), 1u) << from << " -> " << to;
        EXPECT_EQ(q.path[0].state.key, orn::toLower(to));
        EXPECT_EQ(q.path[0].transition.source, "");
        EXPECT_EQ(q.path[0].transition.params.next_animation_mode, "immediate");
        EXPECT_FALSE(q.path[0].transition.params.loop_range.has_value());
    }
}

TEST_F(GraphTest, TransitionWithoutParamsGetsZerosAndAShortLoopRangeIsPadded) {
    build(R"(
anim_states = { a = { type = "animation" }, b = { type = "animation" } }
transitions = { { source = "a", target = "b" }, { source = "b", target = "a", params = { loop_range = { 0.5 } } } }
)");
    const auto ab = graph.get_graph_path("a", "b").path.at(1).transition.params;
    EXPECT_TRUE(ab.transition_duration == 0.0f && ab.animation_start_shift == 0.0f && !ab.loop);
    EXPECT_FALSE(ab.loop_range.has_value());
    EXPECT_EQ(ab.next_animation_mode, "") << "a read transition gets an empty mode";
    EXPECT_EQ(graph.get_graph_path("b", "a").path.at(1).transition.params.loop_range,
              std::optional<osg::Vec2f>(osg::Vec2f(0.5f, 0.0f)));
}

TEST_F(GraphTest, DefaultEntryTakesIdZeroAndIsNoStateUnlessAStateTakesItsKey) {
    build(R"(
default_blendspace = { name = "Idle", loop = true, loop_params = { 15, 45 } }
anim_states = { only = { name = "x", type = "animation" } }
)");
    EXPECT_EQ(graph.num_states(), 1u);
    EXPECT_EQ(graph.num_entries(), 2u);
    Animator::Animation* def = graph.get_default_blendspace();
    ASSERT_NE(def, nullptr);
    EXPECT_TRUE(def->get_id() == 0 && def->get_name() == "Idle" && def->get_loop());
    EXPECT_FLOAT_EQ(def->get_loop_end(), 1.5f);
    EXPECT_EQ(graph.get_state_name(0), "default_blendspace");
    EXPECT_EQ(graph.get_blendspace("Default_Blendspace"), def);
    EXPECT_EQ(graph.get_blendspace("only")->get_id(), 1);
    EXPECT_EQ(graph.get_state_name(1), "only");
    EXPECT_THROW(graph.get_graph_path("default_blendspace", "only"), std::out_of_range);

    AnimationGraph replaced;
    blendtest::LuaState lua2;
    ASSERT_TRUE(lua2.run(R"(default_blendspace = { name = "idle" }
                            anim_states = { DEFAULT_BLENDSPACE = { name = "state", type = "animation" } })"));
    replaced.init(lua2.cfg(), nullptr);
    EXPECT_EQ(replaced.num_entries(), 1u);
    ASSERT_EQ(replaced.num_states(), 1u);
    EXPECT_EQ(replaced.graph()[0].animation, replaced.get_default_blendspace());
    EXPECT_EQ(replaced.get_default_blendspace()->get_name(), "state");
}

TEST_F(GraphTest, GettersAreBoundsCheckedAndUnknownNamesThrowOutOfRange) {
    EXPECT_EQ(graph.get_default_blendspace(), nullptr);
    EXPECT_EQ(graph.get_blendspace(0), nullptr);
    EXPECT_EQ(graph.get_state_name(0), "");
    build(CHAIN);
    for (int id : {-1, 4, 99}) {
        EXPECT_EQ(graph.get_blendspace(id), nullptr) << id;
        EXPECT_EQ(graph.get_state_name(id), "") << id;
    }
    EXPECT_THROW(graph.get_graph_path("a", "nowhere"), std::out_of_range);
    EXPECT_THROW(graph.get_graph_path("nowhere", "a"), std::out_of_range);
    EXPECT_THROW(graph.get_blendspace("nowhere"), std::out_of_range);
    EXPECT_THROW(graph.get_cycle("nowhere"), std::out_of_range);
}

TEST_F(GraphTest, TypeIsCaseSensitiveAndUnknownTypesAreSkippedWithAMessage) {
    test::LogCapture log;
    build(R"(
anim_states = { good = { type = "2D" }, bad = { type = "2d" }, worse = { type = "3D" } }
transitions = { { source = "good", target = "good" } }
)");
    EXPECT_EQ(graph.num_states(), 1u);
    EXPECT_EQ(graph.num_entries(), 1u);
    EXPECT_TRUE(log.has(8, "unknown state type '2d' for state 'bad'")) << log.dump();
    EXPECT_TRUE(log.has(8, "unknown state type '3D' for state 'worse'")) << log.dump();
    EXPECT_THROW(graph.get_blendspace("bad"), std::out_of_range);
    EXPECT_EQ(graph.get_graph_path("good", "good").path.size(), 1u);
}

TEST_F(GraphTest, KeysCollidingAfterLowerCasingKeepOneStateWithTheLaterEntry) {
    test::LogCapture log;
    // A Lua table's traversal order is not the declaration order, so the test only fixes what holds
    // whichever comes first: one state, one live entry with id 0, reached by both spellings.
    build(R"(
anim_states = { Walk = { name = "first", type = "animation" }, WALK = { name = "second", type = "1D" },
                other = { type = "animation" } }
transitions = { { source = "walk", target = "other" } }
)");
    ASSERT_EQ(graph.num_states(), 2u);
    ASSERT_EQ(graph.num_entries(), 2u);
    Animator::Animation* walk = graph.get_blendspace("walk");
    const auto& state = graph.graph()[graph.get_graph_path("walk", "walk").path[0].state.index];
    EXPECT_EQ(state.animation, walk);
    EXPECT_EQ(graph.get_blendspace(walk->get_id()), walk);
    EXPECT_EQ(walk->get_name(), state.name);
    EXPECT_EQ(state.type == "1D", walk->get_type() == Animator::BS_1D);
    EXPECT_EQ(graph.get_blendspace(0)->get_id(), 0);
    EXPECT_EQ(graph.get_blendspace(1)->get_id(), 1);
    EXPECT_EQ(graph.get_graph_path("walk", "other").path.size(), 2u);
    EXPECT_TRUE(log.has(16, "declared twice")) << log.dump();
}

TEST_F(GraphTest, MissingTablesAndMistypedValuesLeaveAUsableGraph) {
    test::LogCapture log;
    build(R"(
name = "global name that must not be read"
anim_states = { ok = { type = "animation", loop = "yes", name = 5 }, notatable = 7 }
transitions = { 3, { source = "ok", target = "ok", params = 4 } }
)");
    ASSERT_EQ(graph.num_states(), 1u);
    EXPECT_FALSE(graph.graph()[0].loop);
    EXPECT_EQ(graph.graph()[0].name, "5");
    EXPECT_EQ(boost::num_edges(graph.graph()), 1u);
    EXPECT_TRUE(log.has(8, "state 'notatable' is not a table")) << log.dump();
    EXPECT_GE(log.count(8, "is not a table"), 2u) << log.dump();

    AnimationGraph empty;
    blendtest::LuaState nothing;
    empty.init(nothing.cfg(), nullptr);
    EXPECT_EQ(empty.num_states(), 0u);
    EXPECT_EQ(empty.get_default_blendspace(), nullptr);
}

TEST_F(GraphTest, InitReadsGlobalsAndAnUnknownTransitionEndKeepsWhatWasBuiltAndTheStack) {
    ASSERT_TRUE(lua.run(R"(
anim_states = { a = { type = "animation" }, b = { type = "animation" } }
transitions = { { source = "a", target = "b" }, { source = "a", target = "ghost" }, { source = "b", target = "a" } }
)"));
    ASSERT_TRUE(lua.push("return { anim_states = { x = { type = 'animation' } } }"));  // a table on top is not read
    const int top = lua_gettop(lua.L());
    EXPECT_THROW(graph.init(lua.cfg(), nullptr), std::out_of_range);
    EXPECT_EQ(lua_gettop(lua.L()), top);
    EXPECT_EQ(graph.num_states(), 2u);
    EXPECT_NO_THROW(graph.get_blendspace("a"));
    EXPECT_EQ(boost::num_edges(graph.graph()), 1u);
}

}  // namespace
