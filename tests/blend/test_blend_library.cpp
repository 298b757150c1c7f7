// Entries of a loaded library (a small skeleton type with straight-walking clips): the records they
// write, durations, root motion and route plans, the descriptor loaders and their bad-input answers,
// and the graph that the library builds.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "animator/blend/AnimationGraph.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "animator/library/AnimationManager.h"
#include "tests/blend/BlendFixtures.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::Animation;
using Animator::AnimationManager;
using Animator::ShaderBlendSpace2D;

// A record on one line: kind, the samples (x, y, clip), the weights (of 2-D records only, the only
// ones that read them), t(start, cycle, play length), loop(flag, start, end), blend(start, duration),
// carry(override, reserved) and the entry id.
std::string describe(const ShaderBlendSpace2D& r) {
    std::ostringstream out;
    out << (r.kind == Animator::BS_RECORD_CLIP ? "CLIP" : r.kind == Animator::BS_RECORD_2D ? "2D" : "other") << " ";
    for (const auto& s : r.samples) out << "(" << s.x << "," << s.y << "," << s.clip << ")";
    if (r.kind == Animator::BS_RECORD_2D) out << " w(" << r.weight_x + 0.0f << "," << r.weight_y + 0.0f << ")";  // -0 as 0
    out << " t(" << r.start_time << "," << r.cycle_duration << "," << r.play_length << ") loop(" << r.loop << ","
        << r.loop_start << "," << r.loop_end << ") blend(" << r.blend_start << "," << r.blend_duration << ") carry("
        << r.override_clip << "," << r.reserved << ") id" << r.blend_space_id;
    return out.str();
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.is_loaded()) << "the library of the test type did not load";
        ASSERT_EQ(lib.get_animation_index("walk_slow"), 3) << "the clips are not indexed by name";
    }
    const Animation& entry(const std::string& name) {
        const Animation& e = lib.get_blend_space(name);
        EXPECT_EQ(e.get_name(), name);
        return e;
    }
    void set(float speed, float turn) {
        props.set_property("speed", speed);
        props.set_property("turn", turn);
    }
    static float distance(const osg::Matrixf& m) { return std::hypot(m(3, 0), m(3, 2)); }

    AnimationManager& lib = blendtest::library();
    Animator::PropertyHolderImpl props;
};

TEST_F(LibraryTest, EntriesAreListedInFileOrderAndBrokenFilesAreReported) {
    const char* names[] = {"Walk_Fast", "speed", "grid", "nope", "missing1d", "missing2d", "dup", "dup", "flat", "flat2d"};
    ASSERT_EQ(lib.get_num_blend_spaces(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(lib.get_blend_space(i).get_id() == i && lib.get_blend_space(i).get_name() == names[i]) << i;
    EXPECT_EQ(lib.get_blend_space("dup").get_id(), 7) << "the later of two entries with one name wins";
    // Not Lua, a chunk answering a number, a chunk answering nothing; the unknown type is silent.
    EXPECT_EQ(blendtest::load_messages(8, "can not load blendspace"), 3u);
    EXPECT_GE(blendtest::load_messages(8, "animation 'nope' not found"), 1u);
    EXPECT_EQ(blendtest::load_messages(8, "animation 'nope_either' not found"), 1u);
    EXPECT_TRUE(entry("speed").has_property("speed") && !entry("speed").has_property("turn"));
    EXPECT_TRUE(entry("grid").has_property("speed") && entry("grid").has_property("turn") && !entry("grid").has_property("x"));
    EXPECT_FALSE(entry("Walk_Fast").has_property("speed"));
}

TEST_F(LibraryTest, RecordsHoldTheBracketingSamplesTheirWeightsAndTheBlendedCycle) {
    struct Case { const char* entry; float speed, turn, duration; const char* record; };
    // Each is written over a record holding other values everywhere, at time 2 with 2.7 cycles asked.
    const Case cases[] = {
        // A clip plays whole cycles and keeps the loop and timing that apply chose.
        {"Walk_Fast", 0, 0, 2, "CLIP (0,0,2)(0,0,0)(0,0,0)(0,0,0) t(0.2,2,4) loop(0.5,0.5,0.6) blend(5,6) carry(7,8) id0"},
        // 1-D: the pair bracketing the value, the entry's loop without a range, and the running phase kept.
        {"speed", 2, 0, 1.5f, "2D (1,0,3)(3,0,2)(0,0,0)(0,0,0) w(0.5,0) t(1.7,1.5,0) loop(1,-1,-1) blend(5,6) carry(7,8) id1"},
        {"speed", 1, 0, 1, "2D (0,0,0)(1,0,3)(0,0,0)(0,0,0) w(1,0) t(1.2,1,0) loop(1,-1,-1) blend(5,6) carry(7,8) id1"},
        {"speed", 5, 0, 2, "2D (1,0,3)(3,0,2)(0,0,0)(0,0,0) w(1,0) t(0.2,2,0) loop(1,-1,-1) blend(5,6) carry(7,8) id1"},
        {"speed", -2, 0, 1, "2D (0,0,0)(1,0,3)(0,0,0)(0,0,0) w(0,0) t(1.2,1,0) loop(1,-1,-1) blend(5,6) carry(7,8) id1"},
        // 2-D: bilinear, (1 * 0.5 + 2 * 0.5) * 0.5 + (2 * 0.5 + 1.5 * 0.5) * 0.5; start and play length kept.
        {"grid", 1.5f, 0.5f, 1.625f, "2D (1,0,3)(2,0,2)(1,1,2)(2,1,1) w(0.5,0.5) t(0.2,1.625,9) loop(0,-1,-1) blend(5,6) carry(7,8) id2"},
        // At the top of the x axis the upper corners are left empty.
        {"grid", 2, 0.5f, 1.75f, "2D (2,0,2)(0,0,0)(2,1,1)(0,0,0) w(0,0.5) t(0.2,1.75,9) loop(0,-1,-1) blend(5,6) carry(7,8) id2"},
        {"grid", 7, 9, 1, "2D (2,2,0)(0,0,0)(0,0,0)(0,0,0) w(0,0) t(0.2,1,9) loop(0,-1,-1) blend(5,6) carry(7,8) id2"},
        // Samples sharing a coordinate give the lower one instead of a division by zero.
        {"flat", 0, 0, 1, "2D (0,0,0)(0,0,2)(0,0,0)(0,0,0) w(0,0) t(1.2,1,0) loop(0,-1,-1) blend(5,6) carry(7,8) id8"},
        {"flat2d", 1, 0, 1.5f, "2D (0,0,0)(2,0,2)(0,0,0)(0,0,0) w(0.5,0) t(0.2,1.5,9) loop(0,-1,-1) blend(5,6) carry(7,8) id9"},
    };
    props.set_property("num_cycles", 2.7f);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.entry << " at " << c.speed << ", " << c.turn);
        set(c.speed, c.turn);
        ShaderBlendSpace2D r{99, {{9, 9, 9}, {9, 9, 9}, {9, 9, 9}, {9, 9, 9}}, 0.2f, 9, 9, 0.5f, 0.5f, 0.6f, 9, 9, 5, 6, 7, 8, 99};
        EXPECT_FLOAT_EQ(entry(c.entry)._update(2.0f, &props, r), c.duration);
        EXPECT_EQ(describe(r), c.record);
        EXPECT_FLOAT_EQ(entry(c.entry).get_duration(&props), c.duration);
        EXPECT_TRUE(entry(c.entry).get_root_matrix(2.5f, r).valid());
    }
    EXPECT_FLOAT_EQ(entry("grid").get_duration(nullptr), 1.0f) << "without properties every axis is at 0";
}

TEST_F(LibraryTest, UnknownClipsNamesAndIdsGiveUnplayableSilentEntries) {
    for (const Animation* e : {&entry("nope"), &entry("missing1d"), &entry("missing2d"), &lib.get_blend_space("no such"),
                               &lib.get_blend_space("SPEED"), &lib.get_blend_space(-1), &lib.get_blend_space(10)}) {
        SCOPED_TRACE(e->get_name());
        blendtest::expect_unplayable(*e);
    }
}

TEST_F(LibraryTest, RootMotionFollowsTheClipsAndThePhase) {
    const Animation& single = entry("Walk_Fast");  // 4 m in 2 s
    ShaderBlendSpace2D r;
    EXPECT_NEAR(distance(single.get_root_end(r)), 4.0f, 0.2f);
    EXPECT_NEAR(distance(single.get_root_start(r)), 0.0f, 0.2f);
    EXPECT_NEAR(distance(single.get_root_matrix(2.5f, r)), 4.0f, 0.2f);
    r.loop = 1.0f;
    EXPECT_NEAR(distance(single.get_root_matrix(2.5f, r)), 1.0f, 0.2f) << "a looping record starts over";

    const Animation& speed = entry("speed");
    set(1, 0);  // walk_slow alone, 1 s per cycle
    speed._update(0.0f, &props, r);
    r.loop = 0.0f;
    EXPECT_NEAR(distance(speed.get_root_end(r)), 1.0f, 0.1f);
    EXPECT_NEAR(distance(speed.get_root_matrix(10.5f, r)), 1.0f, 0.1f) << "a record that does not loop holds its end";
    r.start_time = 10.0f;
    EXPECT_NEAR(distance(speed.get_root_matrix(10.5f, r)), 0.5f, 0.1f);
    r.samples[0].clip = r.samples[1].clip = 4.0f;
    EXPECT_TRUE(speed.get_root_end(r).isIdentity()) << "a record naming no clip of the library";

    set(1, 0.5f);  // walk_slow and walk_fast, blended half way across the y axis
    entry("grid")._update(0.0f, &props, r);
    EXPECT_NEAR(distance(entry("grid").get_root_end(r)), 2.5f, 0.1f);
}

TEST_F(LibraryTest, RoutePlansMeasureOneCycleAtTheBracketEndsAndTheAskedValue) {
    struct Case { const char* entry; float speed, turn; osg::Vec3f distances; osg::Vec2f coordinates; };
    const Case cases[] = {
        {"Walk_Fast", 0, 0, {4, 4, 4}, {0, 0}},
        {"speed", 2, 0, {1, 2.5f, 4}, {1, 3}},
        {"grid", 1.5f, 0.5f, {2.5f, 3.375f, 4.25f}, {0, 1}},  // walk_slow .. walk_fast, walk_fast .. run
        {"flat", 0, 0, {0, 0, 4}, {0, 0}},
        {"flat2d", 1, 0, {2, 2, 0}, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        set(c.speed, c.turn);
        const auto [d, coordinates] = entry(c.entry).get_route_plan(&props);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(d[i], c.distances[i], 0.2f) << i;
        EXPECT_EQ(coordinates, c.coordinates);
    }
}

TEST_F(LibraryTest, GraphOfTheLibrarySurvivesABrokenFileAndItsEntriesSeeTheClips) {
    EXPECT_EQ(blendtest::load_messages(8, "can not load graph"), 1u);
    const Animator::AnimationGraph* g = lib.get_graph();
    ASSERT_TRUE(g && g->num_states() == 1u && g->get_default_blendspace());
    EXPECT_TRUE(g->get_default_blendspace()->is_playable() && g->get_blendspace("Walk")->is_playable());
}

// The loaders on a library that loaded nothing else.
struct LoaderProbe : AnimationManager {
    explicit LoaderProbe(const char* type) : AnimationManager(type) {}
    using AnimationManager::_load_blend_spaces;
    using AnimationManager::_load_graph;
};

TEST(EntryLoaders, GraphIsInstalledEvenWithoutFilesAndBlendSpacesLoadWithoutClips) {
    blendtest::library();
    LoaderProbe probe(blendtest::TYPE);
    blendtest::LuaState lua;
    test::LogCapture log;
    probe._load_graph({}, lua.cfg);
    ASSERT_NE(probe.get_graph(), nullptr);
    EXPECT_EQ(probe.get_graph()->num_states(), 0u);
    EXPECT_TRUE(log.has(64, "Loading graphs:"));
    ASSERT_TRUE(lua.run(R"(anim_states = { solo = { type = "animation", name = "idle" } })"));
    probe._load_graph({"missing.lua", "a_broken.lua"}, lua.cfg);
    EXPECT_EQ(log.count(8, "can not load graph"), 2u) << log.dump();
    EXPECT_EQ(probe.get_graph()->num_states(), 1u) << "built from the globals";

    probe._load_blend_spaces({"b_speed.lua", "i_notlua.lua", "absent.lua", "c_grid.lua"}, lua.cfg);
    EXPECT_EQ(log.count(8, "can not load blendspace"), 2u) << log.dump();
    ASSERT_EQ(probe.get_num_blend_spaces(), 2);
    EXPECT_EQ(probe.get_blend_space("grid").get_id(), 1);
    EXPECT_FALSE(probe.get_blend_space("grid").is_playable());
    EXPECT_EQ(lua_gettop(lua.L), 0);
}

}  // namespace
