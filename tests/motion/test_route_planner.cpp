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

using Animator::AnimationManager;
using Animator::LOG_ERROR;
using Animator::RoutePlan;
using Animator::RoutePlanner;

namespace {

// Planner tables in a temporary "/animations/" mount, read for the skeleton type of `manager` (by
// default one of its own, with no library entries).
class PlannerFiles : public ::testing::Test {
protected:
    explicit PlannerFiles(AnimationManager* m = nullptr)
        : mount(dir.path(), "/animations/"), own("plannertest"), manager(m ? *m : own) {
        dir.mkdir(manager.get_root_node_name());
    }
    // Writes the table (none when `text` is null) and reads it.
    RoutePlanner load(const std::string& file, const char* text) {
        if (text) dir.write(std::string(manager.get_root_node_name()) + "/" + file, text);
        RoutePlanner p(&manager);
        p.load(file);
        return p;
    }

    test::LogCapture log;
    test::TempDir dir;
    test::ScopedMount mount;
    AnimationManager own;
    AnimationManager& manager;
};

class PlannerOnSampleLibrary : public PlannerFiles {
protected:
    PlannerOnSampleLibrary() : PlannerFiles(&test::biped_manager()) {}
};

RoutePlan plan(float low, float req, float high) { return RoutePlan(osg::Vec3f(low, req, high), osg::Vec2f(0, 1)); }

}  // namespace

TEST_F(PlannerFiles, ReadsParamsAndPhasesUpToTheFirstBadItem) {
    const RoutePlanner p = load("route_planner.lua",
        "params = { 0.5, 2, 'x', 4 }\n"
        "animations = { { name = 'start', type = 'animation', values = { 'input1', 'input0' } },\n"
        "  { }, { name = 'stop', values = { '0.5' } }, 'not a table', { name = 'ignored' } }\n");
    EXPECT_EQ(p.get_params(), (std::vector<float>{0.5f, 2.0f}));
    std::vector<std::string> rows;
    for (const auto& a : p.get_animations())
        rows.push_back(a.name + "|" + a.type + "|" + a.values[0] + "|" + a.values[1]);
    EXPECT_EQ(rows, (std::vector<std::string>{"start|animation|input1|input0", "###|###||", "stop|###|0.5|##"}));
    EXPECT_EQ(log.count_tagged("ANIMATOR", LOG_ERROR), 0u) << log.dump();
}

TEST_F(PlannerFiles, MissingBrokenOrUnusableTablesGiveZero) {
    struct Case { const char *file, *text; size_t phases; const char* message; };
    const Case cases[] = {
        {"route_planner.lua", nullptr, 0, "3 needed"},  // no file: read silently
        {"broken.lua", "params = { 1, 2 \n animations = {", 0, "error executing '/animations/plannertest/broken.lua'"},
        {"other.lua", "speed = 3\n", 0, "3 needed"},
        {"two.lua", "animations = { { name = 'a' }, { name = 'b' } }\n", 2, "3 needed"},
        // This library has no entries at all.
        {"unknown.lua", "animations = { { name = 'a' }, { name = 'b' }, { name = 'c' } }", 3, "no playable entry 'a'"},
    };
    Animator::PropertyHolderImpl props;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        log.clear();
        const RoutePlanner p = load(c.file, c.text);
        EXPECT_TRUE(c.text || log.size() == 0) << log.dump();
        EXPECT_TRUE(p.get_params().empty());
        EXPECT_EQ(p.get_animations().size(), c.phases);
        EXPECT_EQ(p.get_route_speed(1.0f, 0.0f, 10.0f), osg::Vec2f(0, 0));
        EXPECT_EQ(p.get_route_speed(&props, 10.0f), osg::Vec2f(0, 0));
        EXPECT_TRUE(log.has(LOG_ERROR, c.message)) << log.dump();
    }
}

// Phases of fixed length 0.5 around a loop whose cycle covers [low, high] at blend factors 0..1.
TEST(RouteSolve, CyclesBlendSpeedAndStopDistance) {
    // The error logged is `message`, none for "".
    struct Case { const char* name; RoutePlan loop; float distance, cycles, blend, stop; const char* message; };
    const Case cases[] = {
        {"9 m at 1.5 a cycle: 6 cycles at the requested speed", plan(1, 1.5f, 2), 10, 6, 0.5f, 0.5f, ""},
        {"4 cycles of 2 m would need blend 1.25: 5 cycles at 0.8", plan(1, 2, 2), 10, 5, 0.8f, 0.5f, ""},
        {"short distances are used as computed", plan(1, 1, 2), -5, -6, 0, 0.5f, ""},
        {"loop that does not move its root", plan(0, 0, 0), 6, 0, 0, 0.5f, "does not move its root"},
        {"loop too slow to divide by", plan(1, 1e-30f, 2), 1e30f, 0, 0, 0.5f, "does not move its root"},
        {"within start and stop: no speed range", plan(1, 1, 2), 0.5f, 0, 0, 0.5f, "no speed range"},
        {"distance not a number: 0", plan(1, 1, 2), std::nanf(""), -1, 0, 0.5f, "is not finite"},
    };
    const RoutePlan fixed = plan(0.5f, 0.5f, 0.5f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        const auto r = RoutePlanner::solve(fixed, c.loop, fixed, c.distance);
        EXPECT_EQ(r.cycles, c.cycles);
        EXPECT_NEAR(r.blend, c.blend, 1e-6);
        EXPECT_NEAR(r.speed, c.blend, 1e-6);  // the speed axis runs 0..1
        EXPECT_NEAR(r.stop_distance, c.stop, 1e-6);
        EXPECT_TRUE(*c.message ? log.has(LOG_ERROR, c.message) : log.size() == 0) << log.dump();
    }
}

// The sample table covers a distance with whole loop cycles at the answered speed.
TEST_F(PlannerOnSampleLibrary, WholeCyclesAndTheInputsFedToTheAxes) {
    const RoutePlanner* p = manager.get_route_planner();
    ASSERT_NE(p, nullptr);
    const float start = std::get<0>(manager.get_blend_space("walk_start").get_route_plan(0, 0)).y();
    for (float d : {3.0f, 6.0f, 11.5f, 20.0f}) {
        const osg::Vec2f r = p->get_route_speed(1.5f, 0.0f, d);
        const float cycle = std::get<0>(manager.get_blend_space("walk").get_route_plan(r.x(), 0.0f)).y();
        ASSERT_GT(cycle, 0.0f);
        const float cycles = (d - start - r.y()) / cycle;
        EXPECT_NEAR(cycles, std::round(cycles), 1e-2) << "distance " << d;
    }

    // Tables of its own: "walk" reads its speed axis from the first value, and a 1-D space does not read
    // the second.
    auto planner = [&](const std::string& loop, const std::string& v0, const std::string& v1) {
        const std::string text = "animations = { { name = 'walk_start' }, { name = '" + loop + "', values = { '" + v0 +
                                 "', '" + v1 + "' } }, { name = 'walk_stop' } }\n";
        return load("planner_" + loop + v0 + v1 + ".lua", text.c_str());
    };
    const RoutePlanner straight = planner("walk", "input0", "input1");
    auto at_speed = [&](float speed) { return straight.get_route_speed(speed, 0.0f, 7.0f); };
    ASSERT_TRUE(at_speed(0.0f) != at_speed(1.9f) && at_speed(1.0f) != at_speed(1.9f));
    // A number written as text is read as it is; "##" reads as 0.
    struct Case { const char *v0, *v1; float input0, input1, speed; };
    const Case cases[] = {{"input0", "input1", 1.0f, 1.9f, 1.0f}, {"input1", "input0", 0.0f, 1.9f, 1.9f},
                          {"input1", "input0", 1.9f, 1.0f, 1.0f}, {"1.9", "##", 3.0f, 4.0f, 1.9f},
                          {"##", "##", 3.0f, 4.0f, 0.0f}};
    for (const Case& c : cases)
        EXPECT_EQ(planner("walk", c.v0, c.v1).get_route_speed(c.input0, c.input1, 7.0f), at_speed(c.speed))
            << c.v0 << " " << c.v1;

    Animator::PropertyHolderImpl props;
    props.set_property("speed", 1.5f);
    EXPECT_EQ(straight.get_route_speed(&props, 9.0f), straight.get_route_speed(1.5f, 0.0f, 9.0f));
    EXPECT_EQ(straight.get_route_speed(nullptr, 9.0f), osg::Vec2f(0, 0));
    // Unknown names are refused, not answered by the library's stand-in.
    EXPECT_EQ(planner("no_such_entry", "input0", "input1").get_route_speed(1.0f, 0.0f, 5.0f), osg::Vec2f(0, 0));
    EXPECT_TRUE(log.has(LOG_ERROR, "no property holder") && log.has(LOG_ERROR, "no playable entry 'no_such_entry'"))
        << log.dump();
}
