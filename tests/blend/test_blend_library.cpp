// Entries of a loaded library (a small skeleton type with straight-walking clips): the records they
// write, durations, root motion and route plans, the descriptor loaders and their bad-input answers,
// and the graph that the library builds.
#include <cmath>
#include <cstring>
#include <optional>

#include <gtest/gtest.h>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/blend/BlendSpace.h"
#include "animator/blend/BlendSpace2D.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "tests/blend/BlendFixtures.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::Animation;
using Animator::AnimationManager;
using Animator::ShaderBlendSpace2D;

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        blendtest::ensure_animation_tree();
        lib = &Animator::get_animation_manager(blendtest::TYPE);
        ASSERT_TRUE(lib->is_loaded()) << "the library of the test type did not load";
        ASSERT_EQ(lib->get_num_animations(), 4);
    }
    const Animation& entry(const std::string& name) {
        const Animation& e = lib->get_blend_space(name);
        EXPECT_EQ(e.get_name(), name);
        return e;
    }
    float clip(const char* name) { return static_cast<float>(lib->get_animation_index(name)); }
    static float distance(const osg::Matrixf& m) { return std::hypot(m(3, 0), m(3, 2)); }

    AnimationManager* lib = nullptr;
    Animator::PropertyHolderImpl props;
};

TEST_F(LibraryTest, EntriesAreListedInFileOrderAndBrokenFilesAreReported) {
    const char* names[] = {"Walk_Fast", "speed", "grid", "nope", "missing1d", "empty2d", "dup", "dup", "flat", "flat2d"};
    ASSERT_EQ(lib->get_num_blend_spaces(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(lib->get_blend_space(i).get_id(), i);
        EXPECT_EQ(lib->get_blend_space(i).get_name(), names[i]);
    }
    EXPECT_EQ(lib->get_blend_space(1).get_type(), Animator::BS_1D);
    EXPECT_EQ(lib->get_blend_space(2).get_type(), Animator::BS_2D);
    // Here: not Lua, a chunk answering a number, a chunk answering nothing (the unknown type is
    // silent); one more in the broken type.
    EXPECT_EQ(blendtest::load_messages(8, "can not load blendspace"), 4u);
    EXPECT_GE(blendtest::load_messages(8, "animation 'nope' not found"), 1u);
    EXPECT_EQ(blendtest::load_messages(8, "animation 'nope_either' not found"), 1u);
}

TEST_F(LibraryTest, ClipRecordPlaysWholeCycles) {
    const Animation& e = entry("Walk_Fast");
    ASSERT_TRUE(e.is_playable());
    EXPECT_EQ(e.get_clip(), lib->get_animation_index("walk_fast"));
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    props.set_property("num_cycles", 2.7f);
    ShaderBlendSpace2D r;
    r.loop = 1.0f;
    r.loop_start = 0.5f;
    r.start_time = 3.0f;
    r.samples[3].clip = 2.0f;
    EXPECT_FLOAT_EQ(e._update(9.0f, &props, r), 2.0f);
    EXPECT_EQ(r.kind, Animator::BS_RECORD_CLIP);
    EXPECT_TRUE(r.samples[0].clip == clip("walk_fast") && r.samples[0].x == 0.0f && r.samples[3].clip == 0.0f);
    EXPECT_FLOAT_EQ(r.cycle_duration, 2.0f);
    EXPECT_FLOAT_EQ(r.play_length, 4.0f) << "cycles are truncated to whole ones";
    EXPECT_TRUE(r.blend_space_id == 0 && r.start_time == 3.0f);
    EXPECT_EQ(r.loop_start, 0.5f) << "a clip keeps the loop range that apply chose";
    EXPECT_FLOAT_EQ(e.get_duration(&props), 2.0f);
}

TEST_F(LibraryTest, OneDimensionalRecordWeightsTheBracketingPair) {
    const Animation& e = entry("speed");
    ShaderBlendSpace2D r;
    props.set_property("speed", 2.0f);
    r.start_time = 0.2f;
    r.loop_start = 0.5f;
    r.play_length = 9.0f;
    EXPECT_FLOAT_EQ(e._update(2.0f, &props, r), 1.5f);
    EXPECT_EQ(r.kind, 0x0FFFFFF3u);
    EXPECT_TRUE(r.samples[0].x == 1.0f && r.samples[0].clip == clip("walk_slow"));
    EXPECT_TRUE(r.samples[1].x == 3.0f && r.samples[1].clip == clip("walk_fast"));
    for (int k = 2; k < 4; ++k) EXPECT_TRUE(r.samples[k].x == 0 && r.samples[k].y == 0 && r.samples[k].clip == 0) << k;
    EXPECT_FLOAT_EQ(r.weight_x, 0.5f);
    EXPECT_TRUE(r.weight_y == 0.0f && r.play_length == 0.0f && r.loop == 1.0f && r.blend_space_id == 1);
    EXPECT_TRUE(r.loop_start == -1.0f && r.loop_end == -1.0f) << "blend spaces drop the loop range";
    EXPECT_NEAR(r.start_time, 2.0f - std::fmod(1.8f, 1.5f), 1e-6f) << "the running phase is kept";

    props.set_property("speed", 1.0f);
    e._update(0.0f, &props, r);
    EXPECT_EQ(r.samples[0].x, 0.0f);
    EXPECT_FLOAT_EQ(r.weight_x, 1.0f);
    EXPECT_FLOAT_EQ(r.cycle_duration, 1.0f);

    props.set_property("speed", 5.0f);  // clamped to 3
    EXPECT_FLOAT_EQ(e.get_duration(&props), 2.0f);
    e._update(0.0f, &props, r);
    EXPECT_EQ(r.samples[0].x, 1.0f);
    EXPECT_FLOAT_EQ(r.weight_x, 1.0f);
}

TEST_F(LibraryTest, TwoDimensionalRecordIsBilinear) {
    const Animation& e = entry("grid");
    ShaderBlendSpace2D r;
    r.play_length = 7.0f;
    r.start_time = 1.25f;
    props.set_property("speed", 1.5f);
    props.set_property("turn", 0.5f);
    // (1 * 0.5 + 2 * 0.5) * 0.5 + (2 * 0.5 + 1.5 * 0.5) * 0.5
    EXPECT_FLOAT_EQ(e._update(4.0f, &props, r), 1.625f);
    EXPECT_EQ(r.kind, Animator::BS_RECORD_2D);
    const float clips[] = {clip("walk_slow"), clip("walk_fast"), clip("walk_fast"), clip("run")};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(r.samples[k].clip, clips[k]) << k;
    EXPECT_TRUE(r.samples[3].x == 2.0f && r.samples[3].y == 1.0f);
    EXPECT_FLOAT_EQ(r.weight_x, 0.5f);
    EXPECT_FLOAT_EQ(r.weight_y, 0.5f);
    EXPECT_EQ(r.play_length, 7.0f) << "2-D records keep the play length they were given";
    EXPECT_TRUE(r.start_time == 1.25f && r.blend_space_id == 2);

    props.set_property("speed", 2.0f);  // top of the x axis
    e._update(0.0f, &props, r);
    EXPECT_TRUE(r.weight_x == 0.0f && r.samples[1].clip == 0.0f && r.samples[1].x == 0.0f && r.samples[3].clip == 0.0f);
}

TEST_F(LibraryTest, SharedCoordinatesGiveTheLowerSampleInsteadOfADivisionByZero) {
    props.set_property("speed", 0.0f);
    props.set_property("turn", 0.0f);
    ShaderBlendSpace2D r;
    EXPECT_FLOAT_EQ(entry("flat")._update(0.0f, &props, r), 1.0f);
    EXPECT_EQ(r.weight_x, 0.0f);
    EXPECT_EQ(r.samples[0].clip, clip("idle"));
    const auto flat_plan = entry("flat").get_route_plan(&props);
    EXPECT_TRUE(std::isfinite(std::get<0>(flat_plan).y()));

    props.set_property("speed", 1.0f);
    EXPECT_FLOAT_EQ(entry("flat2d")._update(0.0f, &props, r), 1.5f);
    EXPECT_FLOAT_EQ(r.weight_x, 0.5f);
    EXPECT_EQ(r.weight_y, 0.0f) << "every sample shares y = 0";
    const auto plan = entry("flat2d").get_route_plan(&props);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(std::get<0>(plan)[i]));
    EXPECT_TRUE(entry("flat2d").get_root_matrix(0.5f, r).valid());
}

TEST_F(LibraryTest, UnknownClipsNamesAndIdsGiveUnplayableSilentEntriesAndTheLaterDuplicateWins) {
    EXPECT_EQ(lib->get_blend_space("dup").get_id(), 7);
    EXPECT_EQ(entry("nope").get_clip(), Animator::INVALID_CLIP);
    for (const Animation* e : {&entry("nope"), &entry("missing1d"), &entry("empty2d"), &lib->get_blend_space("no such"),
                               &lib->get_blend_space("SPEED"), &lib->get_blend_space(-1), &lib->get_blend_space(10)}) {
        SCOPED_TRACE(e->get_name());
        test::LogCapture log;
        EXPECT_FALSE(e->is_playable());
        ShaderBlendSpace2D r;
        EXPECT_EQ(e->_update(1.0f, &props, r), 0.0f);
        EXPECT_EQ(r.kind, Animator::BS_RECORD_EMPTY);
        EXPECT_EQ(e->get_duration(&props), 0.0f);
        EXPECT_TRUE(e->get_root_end(r).isIdentity() && e->get_root_matrix(0.5f, r).isIdentity());
        EXPECT_EQ(std::get<0>(e->get_route_plan(&props)), osg::Vec3f(0, 0, 0));
        EXPECT_EQ(log.size(), 0u) << "a missing name is reported once, at load: " << log.dump();
    }
}

TEST_F(LibraryTest, RootMotionFollowsTheClipsAndThePhase) {
    const Animation& single = entry("Walk_Fast");
    ShaderBlendSpace2D r;
    EXPECT_NEAR(distance(single.get_root_end(r)), 4.0f, 0.2f);
    EXPECT_NEAR(distance(single.get_root_start(r)), 0.0f, 0.2f);

    const Animation& speed = entry("speed");
    props.set_property("speed", 1.0f);  // walk_slow alone, 1 s per cycle
    r.start_time = 0.0f;
    speed._update(0.0f, &props, r);
    r.loop = 0.0f;
    EXPECT_NEAR(distance(speed.get_root_end(r)), 1.0f, 0.1f);
    EXPECT_NEAR(distance(speed.get_root_matrix(10.5f, r)), 1.0f, 0.1f) << "a record that does not loop holds its end";
    r.start_time = 10.0f;
    EXPECT_NEAR(distance(speed.get_root_matrix(10.5f, r)), 0.5f, 0.1f);
    EXPECT_TRUE(speed.get_principal_motion(1.0f, nullptr).isIdentity());
}

TEST_F(LibraryTest, RoutePlansMeasureOneCycleAtTheBracketEndsAndTheAskedValue) {
    auto [d, coords] = entry("Walk_Fast").get_route_plan(&props);
    EXPECT_NEAR(d.x(), 4.0f, 0.2f);
    EXPECT_TRUE(d.x() == d.y() && d.y() == d.z());
    EXPECT_EQ(coords, osg::Vec2f(0, 0));

    props.set_property("speed", 2.0f);
    std::tie(d, coords) = entry("speed").get_route_plan(&props);
    EXPECT_NEAR(d.x(), 1.0f, 0.1f);
    EXPECT_NEAR(d.z(), 4.0f, 0.2f);
    EXPECT_NEAR(d.y(), 2.5f, 0.2f);
    EXPECT_EQ(coords, osg::Vec2f(1, 3));

    props.set_property("speed", 1.5f);
    props.set_property("turn", 0.5f);
    std::tie(d, coords) = entry("grid").get_route_plan(&props);
    EXPECT_NEAR(d.x(), 2.5f, 0.2f);   // walk_slow .. walk_fast
    EXPECT_NEAR(d.z(), 4.25f, 0.2f);  // walk_fast .. run
    EXPECT_NEAR(d.y(), 3.375f, 0.2f);
    EXPECT_EQ(coords, osg::Vec2f(0, 1));
}

TEST_F(LibraryTest, GraphOfTheLibrarySurvivesABrokenFile) {
    EXPECT_EQ(blendtest::load_messages(8, "can not load graph"), 2u) << "one broken file in each type";
    EXPECT_GE(blendtest::load_messages(64, "Loading graphs:"), 2u);
    Animator::AnimationGraph* g = lib->get_graph();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->num_states(), 3u);
    ASSERT_NE(g->get_default_blendspace(), nullptr);
    EXPECT_EQ(g->get_default_blendspace()->get_id(), 0);
    EXPECT_TRUE(g->get_default_blendspace()->is_playable());
    EXPECT_EQ(g->get_state_name(0), "default_blendspace");
    EXPECT_FALSE(g->get_blendspace("wave")->is_playable());
    EXPECT_TRUE(g->get_blendspace("Locomotion")->has_property("speed"));

    const auto q = g->get_graph_path("idle", "locomotion");
    ASSERT_EQ(q.path.size(), 2u);
    EXPECT_FLOAT_EQ(q.path[1].transition.params.transition_duration, 0.3f);
    EXPECT_TRUE(q.path[1].transition.params.loop);
    EXPECT_EQ(g->get_graph_path("wave", "idle").path.size(), 1u);

    AnimationManager& broken = Animator::get_animation_manager(blendtest::BROKEN_TYPE);
    ASSERT_NE(broken.get_graph(), nullptr);
    EXPECT_EQ(broken.get_graph()->num_states(), 0u);
    EXPECT_EQ(broken.get_graph()->get_default_blendspace(), nullptr);
    EXPECT_EQ(broken.get_num_blend_spaces(), 0);
}

// The loaders on a library that loaded nothing else.
class LoaderProbe : public AnimationManager {
public:
    explicit LoaderProbe(const char* type) : AnimationManager(type) {}
    using AnimationManager::_load_blend_spaces;
    using AnimationManager::_load_graph;
};

TEST(EntryLoaders, GraphIsInstalledEvenWithoutFilesAndBlendSpacesLoadWithoutClips) {
    blendtest::ensure_animation_tree();
    LoaderProbe probe(blendtest::TYPE);
    blendtest::LuaState lua;
    test::LogCapture log;
    probe._load_graph({}, lua.cfg());
    ASSERT_NE(probe.get_graph(), nullptr);
    EXPECT_EQ(probe.get_graph()->num_states(), 0u);
    EXPECT_TRUE(log.has(64, "Loading graphs:"));
    ASSERT_TRUE(lua.run(R"(anim_states = { solo = { type = "animation", name = "idle" } })"));
    probe._load_graph({"missing.lua"}, lua.cfg());
    EXPECT_TRUE(log.has(8, "can not load graph"));
    EXPECT_EQ(probe.get_graph()->num_states(), 1u) << "built from the globals";

    probe._load_blend_spaces({"b_speed.lua", "i_notlua.lua", "absent.lua", "c_grid.lua"}, lua.cfg());
    EXPECT_EQ(log.count(8, "can not load blendspace"), 2u) << log.dump();
    ASSERT_EQ(probe.get_num_blend_spaces(), 2);
    EXPECT_EQ(probe.get_blend_space("grid").get_id(), 1);
    EXPECT_FALSE(probe.get_blend_space("grid").is_playable());
    EXPECT_EQ(lua_gettop(lua.L()), 0);
}

}  // namespace
