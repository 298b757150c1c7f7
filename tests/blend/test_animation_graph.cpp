// The state graph built from descriptor globals: entry ids, case rules, transition settings, the
// shortest-path query and the safe answers for ids, names and types that no state has.
#include <memory>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "animator/blend/AnimationGraph.h"
#include "tests/blend/BlendFixtures.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::AnimationGraph;
using Keys = std::vector<std::string>;

// Runs the descriptor text and builds a graph from its globals (entries get no library).
std::unique_ptr<AnimationGraph> build(const std::string& text) {
    blendtest::LuaState lua;
    auto graph = std::make_unique<AnimationGraph>();
    EXPECT_TRUE(lua.run(text));
    graph->init(lua.cfg, nullptr);
    return graph;
}

// The state keys along the path, each with the source of the transition its step carries.
Keys path(const AnimationGraph& g, const char* from, const char* to) {
    Keys out;
    for (const auto& step : g.get_graph_path(from, to).path) out.push_back(step.transition.source + ">" + step.state.key);
    return out;
}

const char* CHAIN = R"(
anim_states = { A = { name = "Idle", type = "animation", loop = true }, C = { name = "Move", type = "2D" },
                B = { name = "walk", type = "1D", { x = 0, animation = "w0" }, { x = 1, animation = "w1" } },
                D = { name = "alone", type = "animation" } }
transitions = {
  { source = "a", target = "B", params = { transition_duration = 0.25, loop = true, animation_start_shift = 0.1,
                                           next_animation_mode = "sequental", loop_range = { 0.5, 1.5 } } },
  { source = "B", target = "c", params = { transition_duration = 0.5 } },
  { source = "a", target = "b", params = { transition_duration = 9 } } }
)";

TEST(Graph, StatesKeepLowerCaseKeysAndNamesTheirTypesAndBoundsCheckedLookups) {
    const auto g = build(CHAIN);
    ASSERT_TRUE(g->num_states() == 4u && g->num_entries() == 4u);
    for (size_t v = 0; v < g->num_states(); ++v) {
        const auto& s = g->graph()[v];
        const int id = static_cast<int>(v);  // without a default entry the states start at id 0
        ASSERT_NE(s.animation, nullptr);
        EXPECT_TRUE(s.index == id && s.animation->get_id() == id && g->get_blendspace(id) == s.animation) << s.key;
        EXPECT_EQ(g->get_state_name(id), s.key);
        EXPECT_EQ(s.animation->get_type(), s.type == "1D"   ? Animator::BS_1D
                                            : s.type == "2D" ? Animator::BS_2D
                                                             : Animator::BS_ANIMATION) << s.key;
    }
    const auto a = g->get_graph_path("A", "A").path[0].state;
    EXPECT_TRUE(a.name == "idle" && a.loop);
    EXPECT_EQ(g->get_default_blendspace(), g->graph()[0].animation);
    for (int id : {-1, 4, 99}) EXPECT_TRUE(g->get_blendspace(id) == nullptr && g->get_state_name(id).empty()) << id;
    EXPECT_THROW(g->get_graph_path("a", "nowhere"), std::out_of_range);
    EXPECT_THROW(g->get_graph_path("nowhere", "a"), std::out_of_range);
    EXPECT_THROW(g->get_blendspace("nowhere"), std::out_of_range);
    EXPECT_THROW(g->get_cycle("nowhere"), std::out_of_range);
}

TEST(Graph, PathTakesTheFewestTransitionsAndTheFirstDeclaredAmongEqualOnes) {
    const auto g = build(CHAIN);
    // Step 0 carries a copy of the first transition, later steps the transition into them; the same
    // state or an unreachable target give one step with a transition never read.
    EXPECT_EQ(path(*g, "A", "c"), (Keys{"a>a", "a>b", "b>c"}));
    EXPECT_EQ(path(*g, "b", "B"), (Keys{">b"}));
    EXPECT_EQ(path(*g, "a", "d"), (Keys{">d"}));
    EXPECT_EQ(path(*g, "c", "a"), (Keys{">a"}));
    // Of the two a -> b transitions (both kept), the first declared, with every setting read.
    EXPECT_EQ(boost::num_edges(g->graph()), 3u);
    const auto q = g->get_graph_path("a", "c");
    EXPECT_FLOAT_EQ(q.path[2].transition.params.transition_duration, 0.5f);
    const auto& p = q.path[1].transition.params;
    EXPECT_TRUE(p.transition_duration == 0.25f && p.animation_start_shift == 0.1f && p.loop);
    EXPECT_EQ(p.next_animation_mode, "sequental");
    EXPECT_EQ(p.loop_range, std::optional<osg::Vec2f>(osg::Vec2f(0.5f, 1.5f)));

    // Branches of equal length: the one whose first transition was declared first.
    const std::string states = "anim_states = { s = { type = 'animation' }, l = { type = 'animation' }, "
                               "r = { type = 'animation' }, t = { type = 'animation' } } transitions = ";
    const std::pair<const char*, const char*> branches[] = {
        {"{ { source = 's', target = 'r' }, { source = 's', target = 'l' }, { source = 'l', target = 't' }, "
         "{ source = 'r', target = 't' } }", "r"},
        {"{ { source = 's', target = 'l' }, { source = 's', target = 'r' }, { source = 'r', target = 't' }, "
         "{ source = 'l', target = 't' } }", "l"}};
    for (const auto& [transitions, via] : branches)
        EXPECT_EQ(path(*build(states + transitions), "S", "T"), (Keys{"s>s", std::string("s>") + via, via + std::string(">t")}));
}

TEST(Graph, DefaultEntryTakesIdZeroAndAStateTakingAnEarlierKeyReplacesItsEntryInPlace) {
    const auto g = build(R"(default_blendspace = { name = "Idle", loop = true }
                            anim_states = { only = { name = "x", type = "animation" } })");
    ASSERT_TRUE(g->num_states() == 1u && g->num_entries() == 2u && g->get_default_blendspace());
    const Animator::Animation* def = g->get_default_blendspace();
    EXPECT_TRUE(def->get_id() == 0 && def->get_name() == "Idle" && def->get_loop());
    EXPECT_EQ(g->get_blendspace("Default_Blendspace"), def);
    EXPECT_TRUE(g->get_state_name(0) == "default_blendspace" && g->get_state_name(1) == "only");
    EXPECT_EQ(g->get_blendspace("only")->get_id(), 1);
    EXPECT_THROW(g->get_graph_path("default_blendspace", "only"), std::out_of_range) << "the default is no state";

    const auto replaced = build(R"(default_blendspace = { name = "idle" }
                                   anim_states = { DEFAULT_BLENDSPACE = { name = "state", type = "animation" } })");
    ASSERT_TRUE(replaced->num_entries() == 1u && replaced->num_states() == 1u);
    EXPECT_EQ(replaced->graph()[0].animation, replaced->get_default_blendspace());
    EXPECT_EQ(replaced->get_default_blendspace()->get_name(), "state");

    // Keys colliding after lower-casing. A Lua table's traversal order is not the declaration order, so
    // only what holds whichever comes first is fixed: one state, one live entry, both spellings.
    test::LogCapture log;
    const auto twice = build(R"(anim_states = { Walk = { name = "first", type = "animation" },
                                                WALK = { name = "second", type = "1D" }, other = { type = "animation" } }
                                transitions = { { source = "walk", target = "other" } })");
    ASSERT_TRUE(twice->num_states() == 2u && twice->num_entries() == 2u);
    const Animator::Animation* walk = twice->get_blendspace("walk");
    const auto& state = twice->graph()[twice->get_graph_path("walk", "walk").path[0].state.index];
    EXPECT_TRUE(state.animation == walk && walk->get_name() == state.name);
    EXPECT_EQ(state.type == "1D", walk->get_type() == Animator::BS_1D);
    for (int id : {0, 1}) EXPECT_EQ(twice->get_blendspace(id)->get_id(), id);
    EXPECT_EQ(path(*twice, "walk", "other"), (Keys{"walk>walk", "walk>other"}));
    EXPECT_TRUE(log.has(16, "declared twice")) << log.dump();
}

TEST(Graph, MissingMistypedAndUnknownValuesLeaveAUsableGraph) {
    const auto empty = build("");
    EXPECT_TRUE(empty->num_states() == 0 && empty->get_default_blendspace() == nullptr &&
                empty->get_blendspace(0) == nullptr && empty->get_state_name(0).empty());

    test::LogCapture log;
    const auto g = build(R"(
name = "global name that must not be read"
anim_states = { ok = { type = "animation", loop = "yes", name = 5 }, notatable = 7, [true] = { type = "animation" },
                bad = { type = "2d" }, worse = { type = "3D" }, plain = { type = "animation" } }
transitions = { 3, { source = "ok", target = "ok", params = 4 }, { source = "ok", target = "plain" },
                { source = "plain", target = "ok", params = { loop_range = { 0.5 } } } })");
    ASSERT_TRUE(g->num_states() == 2u && g->num_entries() == 2u);
    EXPECT_EQ(boost::num_edges(g->graph()), 3u);
    for (const char* message : {"state 'notatable' is not a table", "transition 0 is not a table",
                                "state with a key that is not a name skipped", "unknown state type '2d' for state 'bad'",
                                "unknown state type '3D' for state 'worse'"})
        EXPECT_TRUE(log.has(8, message)) << message << "\n" << log.dump();
    EXPECT_THROW(g->get_blendspace("bad"), std::out_of_range);
    const auto self = g->get_graph_path("ok", "ok").path;
    ASSERT_EQ(self.size(), 1u) << "a transition onto the state itself adds no step";
    EXPECT_TRUE(!g->graph()[self[0].state.index].loop && self[0].state.name == "5");

    // Absent settings read as zeros and an empty mode; a short loop range is padded with 0.
    const auto p = g->get_graph_path("ok", "plain").path.at(1).transition.params;
    EXPECT_TRUE(p.transition_duration == 0.0f && p.animation_start_shift == 0.0f && !p.loop);
    EXPECT_TRUE(!p.loop_range.has_value() && p.next_animation_mode.empty());
    EXPECT_EQ(g->get_graph_path("plain", "ok").path.at(1).transition.params.loop_range,
              std::optional<osg::Vec2f>(osg::Vec2f(0.5f, 0.0f)));
}

TEST(Graph, InitReadsGlobalsAndAnUnknownTransitionEndKeepsWhatWasBuiltAndTheStack) {
    blendtest::LuaState lua;
    AnimationGraph graph;
    ASSERT_TRUE(lua.run(R"(anim_states = { a = { type = "animation" }, b = { type = "animation" } }
                           transitions = { { source = "a", target = "b" }, { source = "a", target = "ghost" },
                                           { source = "b", target = "a" } })"));
    ASSERT_TRUE(lua.push("return { anim_states = { x = { type = 'animation' } } }"));  // a table on top is not read
    const int top = lua_gettop(lua.L);
    EXPECT_THROW(graph.init(lua.cfg, nullptr), std::out_of_range);
    EXPECT_EQ(lua_gettop(lua.L), top);
    EXPECT_TRUE(graph.num_states() == 2u && boost::num_edges(graph.graph()) == 1u);
    EXPECT_NO_THROW(graph.get_blendspace("a"));
}

}  // namespace
