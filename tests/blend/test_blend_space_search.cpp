// Entries read from descriptor tables without a library: the 1-D and 2-D sample searches, loop
// ranges, and the safe answers of entries that can not be played.
#include <array>

#include <gtest/gtest.h>

#include "animator/blend/BlendSpace.h"
#include "animator/blend/BlendSpace2D.h"
#include "tests/blend/BlendFixtures.h"

namespace {

using Animator::Animation;
using Animator::BlendSpace;
using Animator::BlendSpace2D;
using blendtest::load;

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
    struct Case { const char* row; float x, lo, hi; };  // -1: a default sample
    const char* unordered = R"(return { type = "1D", { x = 3 }, { x = 1 } })";
    const Case cases[] = {{ROW, 1, 0, 1},       {ROW, 2, 1, 3},         {ROW, 3, 1, 3}, {ROW, 5, -1, -1},
                          {ROW, -0.5f, -1, -1}, {unordered, 2, -1, -1}, {R"(return { type = "1D", { x = 1 } })", 1, -1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.row << " at " << c.x);
        const auto p = load<BlendSpace>(c.row).get(c.x);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(p[i].x == 0 && p[i].clip == 0 && p[i].motion.isIdentity() ? -1.0f : p[i].x, i ? c.hi : c.lo) << i;
    }
}

TEST(BlendSpace2DSearch, CornersOfTheCellClampedWithDefaultsAtTheTopAndNearestStandIns) {
    using V = osg::Vec2f;
    struct Case { const char* grid; float x, y; std::array<V, 4> corners; };
    const char* tie_a = R"(return { type = "2D", { x = 0, y = 1 }, { x = 1, y = 0 } })";
    const char* tie_b = R"(return { type = "2D", { x = 1, y = 0 }, { x = 0, y = 1 } })";
    const char* sparse = R"(return { type = "2D", { x = 0, y = 0 }, { x = 2, y = 0 }, { x = 0, y = 2 }, { x = 3, y = 3 } })";
    const char* empty = R"(return { type = "2D", x_axis = { name = "speed" } })";
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
        {empty, 1, 1, {NONE, NONE, NONE, NONE}},
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
    e = load<Animation>(R"(return { loop_params = { 15 } })");
    EXPECT_FLOAT_EQ(e.get_loop_start(), 0.5f);
    EXPECT_FLOAT_EQ(e.get_loop_end(), -1.0f / 30.0f);
    e = load<Animation>(R"(return { loop = "yes", loop_params = 12, name = {} })");
    EXPECT_TRUE(!e.get_loop() && e.get_loop_start() == -1.0f && e.get_loop_end() == -1.0f && e.get_name().empty());
}

TEST(UnplayableEntries, WithoutALibraryOrSamplesEveryQueryIsNeutral) {
    blendtest::expect_unplayable(Animation());
    blendtest::expect_unplayable(load<Animation>(R"(return { name = "idle" })"));
    blendtest::expect_unplayable(load<BlendSpace>(ROW));
    blendtest::expect_unplayable(load<BlendSpace>(R"(return { type = "1D" })"));
    blendtest::expect_unplayable(load<BlendSpace2D>(GRID));
    blendtest::expect_unplayable(load<BlendSpace2D>(R"(return { type = "2D", x_axis = { name = "speed" } })"));
}

}  // namespace
