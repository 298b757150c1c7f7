// Reading the route planner table and solving for the walking speed.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "animator/blend/Animation.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "animator/library/AnimationManager.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/util/Log.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using Animator::Animation;
using Animator::AnimationManager;
using Animator::LOG_ERROR;
using Animator::RoutePlan;
using Animator::RoutePlanner;

namespace {

// A planner table of a skeleton type of its own in a temporary "/animations/" mount.
class PlannerFiles : public ::testing::Test {
protected:
    PlannerFiles() : mount(dir.path(), "/animations/"), manager("plannertest") { dir.mkdir("plannertest"); }
    RoutePlanner load(const std::string& file, const std::string& text) {
        dir.write("plannertest/" + file, text);
        RoutePlanner p(&manager);
        p.load(file);
        return p;
    }

    test::LogCapture log;
    test::TempDir dir;
    test::ScopedMount mount;
    AnimationManager manager;
};

RoutePlan plan(float low, float req, float high, float axis_low = 0.0f, float axis_high = 1.0f) {
    return RoutePlan(osg::Vec3f(low, req, high), osg::Vec2f(axis_low, axis_high));
}

// Phases of fixed length 0.5 and a loop whose cycle covers 1 + x for x in [0, 1].
RoutePlan fixed() { return plan(0.5f, 0.5f, 0.5f); }
RoutePlan loop_at(float x) { return plan(1.0f, 1.0f + x, 2.0f); }

}  // namespace

TEST_F(PlannerFiles, ReadsParamsAndPhases) {
    const RoutePlanner p = load("route_planner.lua",
                                "params = { 0.5, 2, 'x', 4 }\n"
                                "animations = {\n"
                                "  { name = 'start', type = 'animation', values = { 'input1', 'input0' } },\n"
                                "  { },\n"
                                "  { name = 'stop', values = { '0.5' } },\n"
                                "  'not a table',\n"
                                "  { name = 'ignored' },\n"
                                "}\n");
    ASSERT_EQ(p.get_params(), (std::vector<float>{0.5f, 2.0f}));
    const auto& a = p.get_animations();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].name, "start");
    EXPECT_EQ(a[0].type, "animation");
    EXPECT_EQ(a[0].values[0], "input1");
    EXPECT_EQ(a[0].values[1], "input0");
    EXPECT_EQ(a[1].name, "###");
    EXPECT_EQ(a[1].type, "###");
    EXPECT_EQ(a[1].values[0], "");
    EXPECT_EQ(a[2].values[0], "0.5");
    EXPECT_EQ(a[2].values[1], "##");
    EXPECT_EQ(log.count_tagged("ANIMATOR", LOG_ERROR), 0u) << log.dump();
}

TEST_F(PlannerFiles, MissingOrBrokenFilesLeaveThePlannerEmpty) {
    RoutePlanner none(&manager);
    none.load("route_planner.lua");
    EXPECT_TRUE(none.get_animations().empty());
    EXPECT_EQ(log.size(), 0u) << log.dump();

    const RoutePlanner broken = load("broken.lua", "params = { 1, 2 \n animations = {");
    EXPECT_TRUE(broken.get_params().empty());
    EXPECT_TRUE(broken.get_animations().empty());
    EXPECT_TRUE(log.has(LOG_ERROR, "error executing '/animations/plannertest/broken.lua'")) << log.dump();

    const RoutePlanner other = load("other.lua", "speed = 3\n");
    EXPECT_TRUE(other.get_params().empty());
    EXPECT_TRUE(other.get_animations().empty());
}

TEST_F(PlannerFiles, TooFewOrUnknownPhasesGiveZero) {
    Animator::PropertyHolderImpl props;
    const RoutePlanner two = load("two.lua", "animations = { { name = 'a' }, { name = 'b' } }\n");
    EXPECT_EQ(two.get_route_speed(1.0f, 0.0f, 10.0f), osg::Vec2f(0, 0));
    EXPECT_EQ(two.get_route_speed(&props, 10.0f), osg::Vec2f(0, 0));
    EXPECT_TRUE(log.has(LOG_ERROR, "3 needed")) << log.dump();

    log.clear();
    // This library has no entries at all.
    const RoutePlanner unknown =
        load("unknown.lua", "animations = { { name = 'a' }, { name = 'b' }, { name = 'c' }, { name = 'd' } }\n");
    EXPECT_EQ(unknown.get_route_speed(1.0f, 0.0f, 10.0f), osg::Vec2f(0, 0));
    EXPECT_EQ(unknown.get_route_speed(&props, 10.0f), osg::Vec2f(0, 0));
    EXPECT_EQ(unknown.get_route_speed(nullptr, 10.0f), osg::Vec2f(0, 0));
    EXPECT_TRUE(log.has(LOG_ERROR, "no playable entry 'a'")) << log.dump();
}

TEST(RouteSolve, ExactDistanceAtTheRequestedSpeed) {
    // x = 0.5: a cycle covers 1.5; 9 m between start and stop take 6 cycles at the requested speed.
    const auto r = RoutePlanner::solve(fixed(), loop_at(0.5f), fixed(), 10.0f);
    EXPECT_EQ(r.cycles, 6.0f);
    EXPECT_NEAR(r.blend, 0.5f, 1e-6);
    EXPECT_NEAR(r.speed, 0.5f, 1e-6);
    EXPECT_NEAR(r.stop_distance, 0.5f, 1e-6);
}

TEST(RouteSolve, BlendAboveOneTakesOneMoreCycle) {
    // x = 1 (2 m a cycle): 4 cycles would need f = 1.25; 5 cycles at f = 0.8 cover the distance.
    const auto r = RoutePlanner::solve(fixed(), loop_at(1.0f), fixed(), 10.0f);
    EXPECT_EQ(r.cycles, 5.0f);
    EXPECT_NEAR(r.blend, 0.8f, 1e-6);
    EXPECT_LT(r.blend, 1.0f);
    EXPECT_NEAR(0.5f + r.cycles * (1.0f + r.speed) + 0.5f, 10.0f, 1e-5);
}

TEST(RouteSolve, ShortDistancesAreUsedAsComputed) {
    const auto r = RoutePlanner::solve(fixed(), loop_at(0.0f), fixed(), -5.0f);
    EXPECT_EQ(r.cycles, -6.0f);
    EXPECT_TRUE(std::isfinite(r.blend) && std::isfinite(r.speed));
}

TEST(RouteSolve, DegenerateLoopsStayFinite) {
    test::LogCapture log;
    // A loop that does not move its root: no cycles, low end.
    auto r = RoutePlanner::solve(fixed(), plan(0, 0, 0), fixed(), 6.0f);
    EXPECT_EQ(r.cycles, 0.0f);
    EXPECT_EQ(r.blend, 0.0f);
    EXPECT_EQ(r.speed, 0.0f);
    EXPECT_TRUE(log.has(LOG_ERROR, "does not move its root")) << log.dump();

    // Distance within start and stop: no cycles and a zero blend divisor.
    log.clear();
    r = RoutePlanner::solve(fixed(), loop_at(0.0f), fixed(), 0.5f);
    EXPECT_EQ(r.cycles, 0.0f);
    EXPECT_EQ(r.blend, 0.0f);
    EXPECT_TRUE(log.has(LOG_ERROR, "no speed range")) << log.dump();

    r = RoutePlanner::solve(fixed(), loop_at(0.0f), fixed(), std::nanf(""));
    EXPECT_TRUE(std::isfinite(r.cycles) && std::isfinite(r.blend) && std::isfinite(r.speed) &&
                std::isfinite(r.stop_distance));
    r = RoutePlanner::solve(fixed(), plan(1, 1e-30f, 2), fixed(), 1e30f);
    EXPECT_TRUE(std::isfinite(r.cycles) && std::isfinite(r.speed));
}

// With the sample library: how the entries' axes are fed.
class PlannerOnSampleLibrary : public ::testing::Test {
protected:
    PlannerOnSampleLibrary() : manager(test::biped_manager()), mount(dir.path(), "/animations/") {
        dir.mkdir("biped");
    }
    RoutePlanner planner(const std::string& loop, const std::string& v0, const std::string& v1) {
        const std::string name = "planner_" + std::to_string(counter++) + ".lua";
        dir.write("biped/" + name, "animations = {\n  { name = 'walk_start' },\n  { name = '" + loop +
                                       "', values = { '" + v0 + "', '" + v1 + "' } },\n  { name = 'walk_stop' },\n}\n");
        RoutePlanner p(&manager);
        p.load(name);
        EXPECT_EQ(p.get_animations().size(), 3u);
        return p;
    }

    test::LogCapture log;
    AnimationManager& manager;
    test::TempDir dir;
    test::ScopedMount mount;
    int counter = 0;
};

TEST_F(PlannerOnSampleLibrary, SampleTableIsLoadedWithTheLibrary) {
    ASSERT_TRUE(manager.is_loaded());
    const RoutePlanner* p = manager.get_route_planner();
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->get_animations().size(), 3u);
    EXPECT_EQ(p->get_animations()[1].name, "walk");

    // Start + whole loop cycles at the answered speed + stop cover the distance.
    const Animation* loop = nullptr;
    for (int i = 0; i < manager.get_num_blend_spaces(); ++i)
        if (manager.get_blend_space(i).get_name() == "walk") loop = &manager.get_blend_space(i);
    ASSERT_NE(loop, nullptr);
    const float start = std::get<0>(manager.get_blend_space("walk_start").get_route_plan(0, 0)).y();
    for (float d : {3.0f, 6.0f, 11.5f, 20.0f}) {
        const osg::Vec2f r = p->get_route_speed(1.5f, 0.0f, d);
        ASSERT_TRUE(std::isfinite(r.x()) && std::isfinite(r.y()));
        const float cycle = std::get<0>(loop->get_route_plan(r.x(), 0.0f)).y();
        ASSERT_GT(cycle, 0.0f);
        const float cycles = (d - start - r.y()) / cycle;
        EXPECT_NEAR(cycles, std::round(cycles), 1e-2) << "distance " << d;
    }
}

// "walk" reads its speed axis from the first value; the second is not read by a 1-D space.
TEST_F(PlannerOnSampleLibrary, ValuesChooseWhichInputFeedsWhichAxis) {
    const RoutePlanner straight = planner("walk", "input0", "input1");
    const RoutePlanner swapped = planner("walk", "input1", "input0");
    const float d = 7.0f;
    ASSERT_NE(straight.get_route_speed(1.0f, 0.0f, d), straight.get_route_speed(1.9f, 0.0f, d));
    EXPECT_EQ(swapped.get_route_speed(0.0f, 1.9f, d), straight.get_route_speed(1.9f, 0.0f, d));
    EXPECT_EQ(swapped.get_route_speed(1.9f, 1.0f, d), straight.get_route_speed(1.0f, 1.9f, d));
}

TEST_F(PlannerOnSampleLibrary, NumberTextsAndMissingValues) {
    const RoutePlanner straight = planner("walk", "input0", "input1");
    const RoutePlanner text = planner("walk", "1.9", "##");
    const RoutePlanner none = planner("walk", "##", "##");
    const float d = 7.0f;
    EXPECT_EQ(text.get_route_speed(3.0f, 4.0f, d), straight.get_route_speed(1.9f, 0.0f, d));
    EXPECT_EQ(none.get_route_speed(3.0f, 4.0f, d), straight.get_route_speed(0.0f, 0.0f, d));
    EXPECT_NE(text.get_route_speed(3.0f, 4.0f, d), none.get_route_speed(3.0f, 4.0f, d));
}

TEST_F(PlannerOnSampleLibrary, PropertyHolderFeedsTheEntriesOwnAxes) {
    const RoutePlanner straight = planner("walk", "input0", "input1");
    Animator::PropertyHolderImpl props;
    props.set_property("speed", 1.5f);
    EXPECT_EQ(straight.get_route_speed(&props, 9.0f), straight.get_route_speed(1.5f, 0.0f, 9.0f));
}

TEST_F(PlannerOnSampleLibrary, UnknownPhaseNameIsRefused) {
    const RoutePlanner p = planner("no_such_entry", "input0", "input1");
    EXPECT_EQ(p.get_route_speed(1.0f, 0.0f, 5.0f), osg::Vec2f(0, 0));
    EXPECT_TRUE(log.has(LOG_ERROR, "no playable entry 'no_such_entry'")) << log.dump();
}
