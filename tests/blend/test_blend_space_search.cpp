// Entries read from descriptor tables without a library: the 1-D and 2-D sample searches, loop
// ranges, and the safe answers of entries that can not be played.
#include <array>
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

// Loads an entry from the table that `text` returns; loading leaves the stack as it found it.
template <class Entry> Entry load(const std::string& text) {
    blendtest::LuaState lua;
    Entry e;
    EXPECT_TRUE(lua.push(text));
    const int top = lua_gettop(lua.L());
    e.load(lua.cfg(), nullptr);
    EXPECT_EQ(lua_gettop(lua.L()), top);
    return e;
}

// A corner that no sample fills: zero coordinates, clip 0, identity motion.
const osg::Vec2f NONE(-1, -1);
osg::Vec2f xy(const BlendSpace2D::NodePoint& p) {
    return p.x == 0 && p.y == 0 && p.clip == 0 && p.motion.isIdentity() ? NONE : osg::Vec2f(p.x, p.y);
}

const char* ROW = R"(return { type = "1D", x_axis = { name = "speed" },
    { x = 0, animation = "a" }, { x = 1, animation = "b" }, { x = 3, animation = "c" } })";
const char* GRID = R"(return { type = "2D",
    { x = 0, y = 0 }, { x = 1, y = 0 }, { x = 2, y = 0 }, { x = 0, y = 1 }, { x = 1, y = 1 }, { x = 2, y = 1 },
    { x = 0, y = 2 }, { x = 1, y = 2 }, { x = 2, y = 2 } })";

TEST(BlendSpaceSearch, PairBracketsTheValueAndOutsideOrBrokenRowsGiveDefaults) {
    struct Case {
        const char* row;
        float x;
        float lo, hi;  // -1: a default sample
    };
    const char* unordered = R"(return { type = "1D", { x = 3 }, { x = 1 } })";
    const Case cases[] = {{ROW, 1, 0, 1},       {ROW, 2, 1, 3},        {ROW, 3, 1, 3},  {ROW, 5, -1, -1},
                          {ROW, -0.5f, -1, -1}, {unordered, 2, -1, -1}, {R"(return { type = "1D", { x = 1 } })", 1, -1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.row << " at " << c.x);
        const auto bs = load<BlendSpace>(c.row);
        const auto p = bs.get(c.x);
        for (int i = 0; i < 2; ++i) {
            const float want = i ? c.hi : c.lo;
            if (want >= 0) EXPECT_EQ(p[i].x, want);
            else EXPECT_TRUE(p[i].x == 0 && p[i].clip == 0 && p[i].motion.isIdentity());
        }
    }
    EXPECT_EQ(load<BlendSpace>(ROW).get_x_max(), 3.0f);
}

TEST(BlendSpace2DSearch, CornersOfTheCellClampedWithDefaultsAtTheTopAndNearestStandIns) {
    struct Case {
        const char* grid;
        float x, y;
        std::array<osg::Vec2f, 4> corners;
    };
    using V = osg::Vec2f;
    const char* tie_a = R"(return { type = "2D", { x = 0, y = 1 }, { x = 1, y = 0 } })";
    const char* tie_b = R"(return { type = "2D", { x = 1, y = 0 }, { x = 0, y = 1 } })";
    const char* sparse = R"(return { type = "2D", { x = 0, y = 0 }, { x = 2, y = 0 }, { x = 0, y = 2 }, { x = 3, y = 3 } })";
    const Case cases[] = {
        {GRID, 1, 1, {V(1, 1), V(2, 1), V(1, 2), V(2, 2)}},
        {GRID, 0.5f, 1.5f, {V(0, 1), V(1, 1), V(0, 2), V(1, 2)}},
        {GRID, 2, 0.5f, {V(2, 0), NONE, V(2, 1), NONE}},  // top of the x axis
        {GRID, 7, 9, {V(2, 2), NONE, NONE, NONE}},        // clamped to (2, 2)
        {GRID, -3, 1.5f, {V(0, 1), V(1, 1), V(0, 2), V(1, 2)}},
        // Equal distances pick the later sample.
        {tie_a, 0.5f, 0.5f, {V(1, 0), V(1, 0), V(0, 1), V(1, 0)}},
        {tie_b, 0.5f, 0.5f, {V(0, 1), V(1, 0), V(0, 1), V(0, 1)}},
        // Corner (2, 2) has no sample: the nearest one stands in.
        {sparse, 1, 1, {V(0, 0), V(2, 0), V(0, 2), V(3, 3)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.grid << " at " << c.x << ", " << c.y);
        const auto got = load<BlendSpace2D>(c.grid).get(c.x, c.y);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(xy(got[i]), c.corners[i]) << "corner " << i;
    }
}

TEST(EntryLoading, LoopParamsAreFramesAt30PerSecondAndMistypedFieldsAreIgnored) {
    auto e = load<Animation>(R"(return { name = "Walk", loop = true, loop_params = { 15, 45 } })");
    EXPECT_TRUE(e.get_name() == "Walk" && e.get_loop());
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    EXPECT_FLOAT_EQ(e.get_loop_end(), 1.5f);
    EXPECT_TRUE(e._check_loop(std::nullopt));
    EXPECT_FALSE(e._check_loop(false));
    e = load<Animation>(R"(return { loop_params = { 15 } })");
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    EXPECT_FLOAT_EQ(e.get_loop_end(), -1.0f / 30.0f);
    e = load<Animation>(R"(return { loop = "yes", loop_params = 12, name = {} })");
    EXPECT_FALSE(e.get_loop());
    EXPECT_TRUE(e.get_loop_start() == -1.0f && e.get_loop_end() == -1.0f && e.get_name().empty());
}

// Entries without a library (or without samples) never reach a clip.
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
    EXPECT_TRUE(r.cycle_duration == 0.0f && r.samples[2].clip == 0.0f);
    EXPECT_EQ(r.override_clip, 7.0f) << "fields the entry does not own are carried";
    EXPECT_EQ(r.blend_space_id, e.get_id());
    EXPECT_TRUE(e.get_duration(&props) == 0.0f && e.get_duration(nullptr) == 0.0f);
    EXPECT_TRUE(e.get_root_matrix(6.0f, r).isIdentity() && e.get_root_end(r).isIdentity() &&
                e.get_root_start(r).isIdentity() && e.get_principal_motion(1.0f, nullptr).isIdentity());
    EXPECT_EQ(e.get_route_plan(&props), std::make_tuple(osg::Vec3f(0, 0, 0), osg::Vec2f(0, 0)));
    EXPECT_EQ(std::get<0>(e.get_route_plan(1.0f, 1.0f)), osg::Vec3f(0, 0, 0));
}

TEST(UnplayableEntries, WithoutALibraryOrSamplesEveryQueryIsNeutral) {
    expect_unplayable(Animation());
    expect_unplayable(load<Animation>(R"(return { name = "idle" })"));
    expect_unplayable(load<BlendSpace>(ROW));
    expect_unplayable(load<BlendSpace>(R"(return { type = "1D" })"));
    expect_unplayable(load<BlendSpace2D>(GRID));
    const auto empty = load<BlendSpace2D>(R"(return { type = "2D", x_axis = { name = "speed" } })");
    expect_unplayable(empty);
    EXPECT_TRUE(empty.get_x_min() == FLT_MAX && empty.get_x_max() == -FLT_MAX && empty.get_y_min() == FLT_MAX);
    for (const auto& p : empty.get(1.0f, 1.0f)) EXPECT_EQ(xy(p), NONE);
}

}  // namespace
