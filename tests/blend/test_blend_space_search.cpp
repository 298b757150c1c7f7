// Entries read from descriptor tables without a library: the 1-D and 2-D sample searches, axis names,
// loop ranges, and the safe answers of entries that can not be played.
#include <cfloat>

#include <gtest/gtest.h>

#include "animator/blend/Animation.h"
#include "animator/blend/BlendSpace.h"
#include "animator/blend/BlendSpace2D.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "tests/blend/BlendFixtures.h"

namespace {

using Animator::Animation;
using Animator::BlendSpace;
using Animator::BlendSpace2D;
using Animator::ShaderBlendSpace2D;

// Loads an entry from the table that `text` returns.
template <class Entry> Entry load(const std::string& text) {
    blendtest::LuaState lua;
    Entry e;
    EXPECT_TRUE(lua.push(text));
    const int top = lua_gettop(lua.L());
    e.load(lua.cfg(), nullptr);
    EXPECT_EQ(lua_gettop(lua.L()), top) << "loading leaves the stack as it found it";
    return e;
}

osg::Vec2f xy(const BlendSpace2D::NodePoint& p) { return osg::Vec2f(p.x, p.y); }

bool is_default(const BlendSpace2D::NodePoint& p) {
    return p.x == 0.0f && p.y == 0.0f && p.clip == 0 && p.motion.isIdentity();
}

const char* ROW = R"(return { type = "1D", x_axis = { name = "speed" },
    { x = 0, animation = "a" }, { x = 1, animation = "b" }, { x = 3, animation = "c" } })";

TEST(BlendSpaceSearch, PairBracketsTheValueAndDefaultsOutside) {
    const auto bs = load<BlendSpace>(ROW);
    EXPECT_EQ(bs.get_x_min(), 0.0f);
    EXPECT_EQ(bs.get_x_max(), 3.0f);
    auto p = bs.get(1.0f);
    EXPECT_EQ(p[0].x, 0.0f);
    EXPECT_EQ(p[1].x, 1.0f);
    p = bs.get(2.0f);
    EXPECT_EQ(p[0].x, 1.0f);
    EXPECT_EQ(p[1].x, 3.0f);
    p = bs.get(3.0f);
    EXPECT_EQ(p[0].x, 1.0f);
    for (float outside : {5.0f, -0.5f}) {
        p = bs.get(outside);
        for (const auto& q : p) {
            EXPECT_EQ(q.x, 0.0f);
            EXPECT_EQ(q.clip, 0);
            EXPECT_TRUE(q.motion.isIdentity());
        }
    }
}

TEST(BlendSpaceSearch, UnorderedOrSingleSamplesGiveDefaultPairs) {
    const auto unordered = load<BlendSpace>(R"(return { type = "1D", { x = 3 }, { x = 1 } })");
    EXPECT_EQ(unordered.get(2.0f)[0].clip, 0);
    EXPECT_EQ(unordered.get(2.0f)[1].x, 0.0f);
    const auto single = load<BlendSpace>(R"(return { type = "1D", { x = 1 } })");
    EXPECT_EQ(single.get(1.0f)[0].x, 0.0f);
}

const char* GRID = R"(return { type = "2D",
    { x = 0, y = 0 }, { x = 1, y = 0 }, { x = 2, y = 0 },
    { x = 0, y = 1 }, { x = 1, y = 1 }, { x = 2, y = 1 },
    { x = 0, y = 2 }, { x = 1, y = 2 }, { x = 2, y = 2 } })";

TEST(BlendSpace2DSearch, CellCornersAroundThePoint) {
    const auto bs = load<BlendSpace2D>(GRID);
    auto c = bs.get(1.0f, 1.0f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(1, 1));
    EXPECT_EQ(xy(c[1]), osg::Vec2f(2, 1));
    EXPECT_EQ(xy(c[2]), osg::Vec2f(1, 2));
    EXPECT_EQ(xy(c[3]), osg::Vec2f(2, 2));
    c = bs.get(0.5f, 1.5f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(0, 1));
    EXPECT_EQ(xy(c[3]), osg::Vec2f(1, 2));
}

TEST(BlendSpace2DSearch, TopOfAnAxisLeavesDefaultCornersAndValuesAreClamped) {
    const auto bs = load<BlendSpace2D>(GRID);
    auto c = bs.get(2.0f, 0.5f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(2, 0));
    EXPECT_TRUE(is_default(c[1]));
    EXPECT_EQ(xy(c[2]), osg::Vec2f(2, 1));
    EXPECT_TRUE(is_default(c[3]));

    c = bs.get(7.0f, 9.0f);  // clamped to (2, 2)
    EXPECT_EQ(xy(c[0]), osg::Vec2f(2, 2));
    EXPECT_TRUE(is_default(c[1]));
    EXPECT_TRUE(is_default(c[2]));
    EXPECT_TRUE(is_default(c[3]));

    c = bs.get(-3.0f, 1.5f);  // clamped to (0, 1.5)
    EXPECT_EQ(xy(c[0]), osg::Vec2f(0, 1));
    EXPECT_EQ(xy(c[1]), osg::Vec2f(1, 1));
}

TEST(BlendSpace2DSearch, EqualDistancesPickTheLaterSample) {
    // No sample at corner (0, 0): both samples are 1 away from it, and from corner (1, 1).
    auto c = load<BlendSpace2D>(R"(return { type = "2D", { x = 0, y = 1 }, { x = 1, y = 0 } })").get(0.5f, 0.5f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(1, 0));
    EXPECT_EQ(xy(c[1]), osg::Vec2f(1, 0));
    EXPECT_EQ(xy(c[2]), osg::Vec2f(0, 1));
    EXPECT_EQ(xy(c[3]), osg::Vec2f(1, 0));
    c = load<BlendSpace2D>(R"(return { type = "2D", { x = 1, y = 0 }, { x = 0, y = 1 } })").get(0.5f, 0.5f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(0, 1));
    EXPECT_EQ(xy(c[3]), osg::Vec2f(0, 1));
}

TEST(BlendSpace2DSearch, MissingGridCornerTakesTheNearestSample) {
    const auto c = load<BlendSpace2D>(R"(return { type = "2D",
        { x = 0, y = 0 }, { x = 2, y = 0 }, { x = 0, y = 2 }, { x = 3, y = 3 } })").get(1.0f, 1.0f);
    EXPECT_EQ(xy(c[0]), osg::Vec2f(0, 0));
    EXPECT_EQ(xy(c[1]), osg::Vec2f(2, 0));
    EXPECT_EQ(xy(c[2]), osg::Vec2f(0, 2));
    EXPECT_EQ(xy(c[3]), osg::Vec2f(3, 3)) << "corner (2, 2) stood in for by the nearest sample";
}

TEST(EntryLoading, LoopParamsAreFramesAt30PerSecond) {
    auto e = load<Animation>(R"(return { name = "Walk", loop = true, loop_params = { 15, 45 } })");
    EXPECT_EQ(e.get_name(), "Walk");
    EXPECT_TRUE(e.get_loop());
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    EXPECT_FLOAT_EQ(e.get_loop_end(), 1.5f);
    EXPECT_TRUE(e._check_loop(std::nullopt));
    EXPECT_FALSE(e._check_loop(false));

    e = load<Animation>(R"(return { loop_params = { 15 } })");
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    EXPECT_FLOAT_EQ(e.get_loop_end(), -1.0f / 30.0f);

    e = load<Animation>(R"(return { loop = "yes", loop_params = 12, name = {} })");
    EXPECT_FALSE(e.get_loop());
    EXPECT_EQ(e.get_loop_start(), -1.0f);
    EXPECT_EQ(e.get_loop_end(), -1.0f);
    EXPECT_EQ(e.get_name(), "");
}

// Entries without a library (or without samples) must never reach a clip.
template <class Entry> void expect_unplayable(const Entry& e) {
    EXPECT_FALSE(e.is_playable());
    Animator::PropertyHolderImpl props;
    props.set_property("num_cycles", 3.0f);
    ShaderBlendSpace2D r;
    r.start_time = 4.0f;
    r.override_clip = 7.0f;
    r.samples[2].clip = 5.0f;
    EXPECT_EQ(e._update(5.0f, &props, r), 0.0f);
    EXPECT_EQ(r.kind, Animator::BS_RECORD_EMPTY);
    EXPECT_EQ(r.cycle_duration, 0.0f);
    EXPECT_EQ(r.samples[2].clip, 0.0f);
    EXPECT_EQ(r.override_clip, 7.0f) << "fields the entry does not own are carried";
    EXPECT_EQ(r.blend_space_id, e.get_id());
    EXPECT_EQ(e.get_duration(&props), 0.0f);
    EXPECT_EQ(e.get_duration(nullptr), 0.0f);
    EXPECT_TRUE(e.get_root_matrix(6.0f, r).isIdentity());
    EXPECT_TRUE(e.get_root_end(r).isIdentity());
    EXPECT_TRUE(e.get_root_start(r).isIdentity());
    const auto plan = e.get_route_plan(&props);
    EXPECT_EQ(std::get<0>(plan), osg::Vec3f(0, 0, 0));
    EXPECT_EQ(std::get<1>(plan), osg::Vec2f(0, 0));
    EXPECT_EQ(std::get<0>(e.get_route_plan(1.0f, 1.0f)), osg::Vec3f(0, 0, 0));
    EXPECT_TRUE(e.get_principal_motion(1.0f, nullptr).isIdentity());
}

TEST(UnplayableEntries, WithoutALibraryEveryQueryIsNeutral) {
    expect_unplayable(Animation());
    expect_unplayable(load<Animation>(R"(return { name = "idle" })"));
    expect_unplayable(load<BlendSpace>(ROW));
    expect_unplayable(load<BlendSpace2D>(GRID));
}

TEST(UnplayableEntries, EmptyBlendSpaceKeepsItsEmptyRangeAndAnswersDefaults) {
    const auto bs = load<BlendSpace2D>(R"(return { type = "2D", x_axis = { name = "speed" } })");
    EXPECT_EQ(bs.get_x_min(), FLT_MAX);
    EXPECT_EQ(bs.get_x_max(), -FLT_MAX);
    EXPECT_EQ(bs.get_y_min(), FLT_MAX);
    for (const auto& p : bs.get(1.0f, 1.0f)) EXPECT_TRUE(is_default(p));
    expect_unplayable(bs);
    expect_unplayable(load<BlendSpace>(R"(return { type = "1D" })"));
}

}  // namespace
