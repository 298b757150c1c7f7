// Route smoothing and trajectory queries of the character controller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "animator/motion/CharacterController.h"
#include "animator/util/Log.h"
#include "tests/support/TestSupport.h"

using Animator::CharacterController;
using Animator::LOG_ERROR;

namespace {

using Points = std::vector<osg::Vec3f>;
using Arc = CharacterController::ArcSegment;
constexpr auto ON = CharacterController::ROUTE_ON;
constexpr auto END = CharacterController::ROUTE_END;

float dist(const osg::Vec3f& a, const osg::Vec3f& b) { return (a - b).length(); }
// Heading of the matrix's x axis (the direction the character faces).
float heading_of(const osg::Matrixf& m) { return -std::atan2(m(0, 2), m(0, 0)); }

CharacterController on_route(const Points& route, std::function<void()> callback = nullptr) {
    CharacterController c;
    c.set_route(route, wPosition3<float>(), std::move(callback));
    return c;
}

// The first segment holding s, by a plain scan.
const CharacterController::LineSegment* linear_find(const CharacterController& c, float s) {
    for (const auto& seg : c.get_segments())
        if (seg->start <= s && s <= seg->start + seg->length) return seg.get();
    return nullptr;
}

// The answer of the overload that reads the distance from element 12 of a matrix; `value` goes in as 7.
struct Found { CharacterController::RouteState state; osg::Vec3f p{1, 1, 1}; float value = 7.0f; };
Found query(CharacterController& c, float s) {
    osg::Matrixf in;
    in(3, 0) = s;
    Found f;
    f.state = c.get_trajectory_position(in, f.p, f.value);
    return f;
}

// Right-angle corner at (5,0,0): legs of length 5.
const Points kRightAngle{osg::Vec3f(0, 0, 0), osg::Vec3f(5, 0, 0), osg::Vec3f(5, 0, -5)};
// Its second and third corners have legs (0.5) shorter than the arc needs (1).
const Points kShortLegs{{0, 0, 0}, {5, 0, 0}, {5, 0, -5}, {5.5f, 0, -5}, {5.5f, 0, -5.5f}};

}  // namespace

// Segments as lines ('L') and arcs ('A') with their lengths, and the corners reported as not fitting
// (walked straight to the corner); the last leg is not a segment. Every placement is finite.
TEST(CharacterControllerSmoothing, SegmentsOfSimpleAndDegenerateRoutes) {
    struct Case { const char* name; Points route; const char* kinds; std::vector<float> lengths;
                  std::vector<int> unfit; };
    const float q = float(M_PI / 2);
    test::LogCapture quiet;  // for the cases after the table
    const Case cases[] = {
        {"two points", {{0, 0, 0}, {3, 0, 0}}, "", {}, {}},
        {"right angle", kRightAngle, "LA", {4, q}, {}},
        {"straight corner", {{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {4, 0, -4}}, "LLA", {2, 1, q}, {}},
        {"short legs", kShortLegs, "LALL", {4, q, 4, 0.5f}, {1, 2}},
        {"collinear", {{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {6, 0, 0}}, "LL", {2, 2}, {}},
        {"zero-length legs", {{0, 0, 0}, {3, 0, 0}, {3, 0, 0}, {3, 0, -3}, {3, 0, -3}, {6, 0, -3}}, "LL", {3, 3}, {}},
        {"one repeated point", {{1, 0, 1}, {1, 0, 1}, {1, 0, 1}}, "", {}, {}},
        {"nearly straight through", {{0, 0, 0}, {5, 0, 0}, {10, 0, 1e-6f}}, "L", {5}, {}},
        {"exact hairpin", {{0, 0, 0}, {5, 0, 0}, {0, 0, 0}}, "L", {5}, {0}},
        {"nearly a hairpin: the arc would need legs of 2000", {{0, 0, 0}, {1000, 0, 0}, {0, 0, -1}}, "L", {1000}, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        CharacterController cc = on_route(c.route);
        const auto& segs = cc.get_segments();
        ASSERT_EQ(segs.size(), c.lengths.size());
        float start = 0.0f;
        for (size_t i = 0; i < segs.size(); ++i) {
            EXPECT_EQ(dynamic_cast<const Arc*>(segs[i].get()) != nullptr, c.kinds[i] == 'A') << i;
            EXPECT_NEAR(segs[i]->start, start, 1e-5);
            EXPECT_NEAR(segs[i]->length, c.lengths[i], 1e-5);
            start += c.lengths[i];
        }
        EXPECT_NEAR(cc.get_segments_length(), start, 1e-5);
        EXPECT_EQ(log.count("Can not smooth"), c.unfit.size()) << log.dump();
        for (int k : c.unfit) EXPECT_TRUE(log.has(LOG_ERROR, "Can not smooth segment " + std::to_string(k)));
        for (float s = -0.5f; s < cc.get_segments_length() + 1.0f; s += 0.05f) {
            osg::Matrixf m;
            cc.get_trajectory_position(s, 0.0f, m);
            ASSERT_TRUE(std::all_of(m.ptr(), m.ptr() + 16, [](float x) { return std::isfinite(x); })) << "at " << s;
        }
    }
    // Under three points the polyline is the route.
    EXPECT_FLOAT_EQ(on_route(cases[0].route).get_route_length(), 3.0f);
    CharacterController c = on_route(kShortLegs);
    EXPECT_NEAR(dist(c.get_segments()[2]->to, kShortLegs[2]) + dist(c.get_segments()[3]->to, kShortLegs[3]), 0, 1e-5);

    c = on_route(kRightAngle);
    auto* arc = dynamic_cast<const Arc*>(c.get_segments()[1].get());
    EXPECT_NEAR(dist(arc->from, {4, 0, 0}) + dist(arc->to, {5, 0, -1}) + dist(arc->center, {4, 0, -1}), 0.0f, 1e-5);
    // The polyline: the route's first point, then arc samples every 0.1 of the arc's length.
    const Points pts = c.get_points();
    ASSERT_EQ(pts.size(), 1u + 16u);
    EXPECT_NEAR(dist(pts[1], arc->from), 0.0f, 1e-5);
    // About 30 degrees between the legs: the arc is still at most a quarter turn.
    c.set_route({{0, 0, 0}, {10, 0, 0}, {10 - 8.66f, 0, -5}}, wPosition3<float>(), nullptr);
    ASSERT_EQ(c.get_segments().size(), 2u);
    EXPECT_LE(c.get_segments()[1]->length, M_PI / 2 + 1e-6);

    // Quietly a corner that does not fit is left out, with a warning only.
    quiet.clear();
    Points out;
    CharacterController left_out;
    left_out._smooth_route3({kShortLegs[2], kShortLegs[3], kShortLegs[4]}, out, true);
    EXPECT_TRUE(left_out.get_segments().empty() && out.empty());
    EXPECT_TRUE(quiet.has(Animator::LOG_WARNING, "route reconstruction not implemented")) << quiet.dump();
    EXPECT_FALSE(quiet.has("Can not smooth")) << quiet.dump();
}

// Placement by both overloads; every query beyond the end calls back, also after the route is cleared.
TEST(CharacterControllerTrajectory, PlacementAlongTheRouteAndBeyondItsEnd) {
    // The placement, and the route point at distance + offset; `value` stays as it was beyond the end.
    struct Case { const char* name; float distance, offset; CharacterController::RouteState state;
                  osg::Vec3f placed, point; float heading, value; };
    const float h = std::sqrt(0.5f), q = float(M_PI / 4);
    const Case cases[] = {
        {"before the start: identity", -0.5f, 0.0f, ON, {0, 0, 0}, {0, 0, 0}, 0.0f, 0.0f},
        {"the offset counts towards the distance", 0.5f, -1.0f, ON, {0, 0, 0}, {0, 0, 0}, 0.0f, 0.0f},
        {"on the line", 2.0f, 0.0f, ON, {2, 0, 0}, {2, 0, 0}, 0.0f, 0.0f},
        {"an offset moves back along the direction", 1.0f, 1.0f, ON, {1, 0, 0}, {2, 0, 0}, 0.0f, 0.0f},
        {"half-way round the arc", 4.0f + q, 0.0f, ON, {4 + h, 0, h - 1}, {4 + h, 0, h - 1}, q, 0.0f},
        {"at the end: facing -Z", 4.0f + 2 * q, 0.0f, ON, {5, 0, -1}, {5, 0, -1}, 2 * q, 0.0f},
        {"beyond the end: the end point", 100.0f, 0.0f, END, {5, 0, -1}, {5, 0, -1}, 0.0f, 7.0f},
    };
    int calls = 0;
    CharacterController c = on_route(kRightAngle, [&] { ++calls; });
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const float s = k.distance + k.offset;
        osg::Matrixf m = osg::Matrixf::translate(1, 2, 3);
        ASSERT_EQ(c.get_trajectory_position(k.distance, k.offset, m), k.state);
        EXPECT_NEAR(dist(m.getTrans(), k.placed), 0.0f, 1e-5);
        EXPECT_NEAR(heading_of(m), k.heading, 1e-4);
        EXPECT_TRUE(s < 0.0f || dist(c.get_position(), k.point) < 1e-5);
        const Found f = query(c, s);
        EXPECT_TRUE(f.state == k.state && dist(f.p, k.point) < 1e-5 && f.value == k.value);
    }
    EXPECT_EQ(calls, 2);
    osg::Matrixf m;
    c.clear_route();
    EXPECT_EQ(c.get_trajectory_position(0.5f, 0.0f, m), END);
    EXPECT_TRUE(m.isIdentity());
    EXPECT_EQ(calls, 3);

    // Nothing set, no segments (the end is the last point), or an empty callback: no crash.
    CharacterController none;
    EXPECT_EQ(none.get_trajectory_position(1.0f, 0.0f, m), END);
    EXPECT_TRUE(m.isIdentity());
    none.set_route({{0, 0, 0}, {3, 0, 0}}, wPosition3<float>(), std::function<void()>());
    EXPECT_EQ(none.get_trajectory_position(1.0f, 0.0f, m), END);
    const Found g = query(none, 1.0f);
    EXPECT_TRUE(g.state == END && g.p == osg::Vec3f(3, 0, 0) && osg::Vec3f(m.getTrans()) == g.p);
}

// Seeded random routes whose corners turn by at most 90 degrees: segments tile the distance and join,
// each distance is answered by the first segment holding it, and a walk in small steps moves and turns
// little.
TEST(CharacterControllerProperties, RandomRoutesAreTiledAndContinuous) {
    test::LogCapture log;
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> turn(-M_PI / 2, M_PI / 2), leg(0.3f, 6.0f);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        Points route{{0, 0, 0}};
        float heading = 0.0f;
        for (int i = 0; i <= 2 + trial % 9; ++i, heading += turn(rng))
            route.push_back(route.back() + osg::Vec3f(std::cos(heading), 0.0f, -std::sin(heading)) * leg(rng));
        CharacterController c = on_route(route);
        const auto& segs = c.get_segments();
        ASSERT_FALSE(segs.empty());
        EXPECT_EQ(segs.back()->start + segs.back()->length, c.get_segments_length());
        for (size_t i = 0; i + 1 < segs.size(); ++i) {
            const float end = segs[i]->start + segs[i]->length;
            EXPECT_EQ(end, segs[i + 1]->start);
            EXPECT_NEAR(dist(segs[i]->get_point(end), segs[i + 1]->get_point(end)), 0.0f, 1e-3) << "segment " << i;
            EXPECT_EQ(query(c, end).p, segs[i]->get_point(end));
        }

        // Only a straight segment ending at a corner too tight for its arc may turn sharply (on the spot).
        const float step = 0.01f;
        osg::Matrixf prev;
        c.get_trajectory_position(0.0f, 0.0f, prev);
        for (float s = step; s <= c.get_segments_length(); s += step) {
            osg::Matrixf m;
            ASSERT_EQ(c.get_trajectory_position(s, 0.0f, m), ON);
            EXPECT_LE((m.getTrans() - prev.getTrans()).length(), step * 1.01 + 1e-4);
            const auto* seg = linear_find(c, s - step);
            ASSERT_NE(seg, nullptr);
            if (std::fabs(std::remainder(heading_of(m) - heading_of(prev), float(2 * M_PI))) > 0.05f) {
                EXPECT_EQ(dynamic_cast<const Arc*>(seg), nullptr);
                EXPECT_NE(std::find(route.begin(), route.end(), seg->to), route.end());
                EXPECT_TRUE(log.has("Can not smooth segment")) << "at " << s;
            }
            const Found f = query(c, s - step);
            EXPECT_TRUE(f.state == ON && f.p == seg->get_point(s - step)) << "at " << s - step;
            prev = m;
        }
        log.clear();
    }
}
