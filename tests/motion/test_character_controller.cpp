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
using Animator::LOG_WARNING;

namespace {

using Points = std::vector<osg::Vec3f>;

const wPosition3<float> kNoPosition;

bool finite(const osg::Vec3f& v) { return std::isfinite(v.x()) && std::isfinite(v.y()) && std::isfinite(v.z()); }

// Heading of the matrix's x axis (the direction the character faces).
float heading_of(const osg::Matrixf& m) { return -std::atan2(m(0, 2), m(0, 0)); }

float angle_diff(float a, float b) {
    float d = std::fmod(a - b, float(2 * M_PI));
    if (d > M_PI) d -= 2 * M_PI;
    if (d < -M_PI) d += 2 * M_PI;
    return std::fabs(d);
}

// The specified linear search: the first segment holding s.
const CharacterController::LineSegment* linear_find(const CharacterController& c, float s) {
    for (const auto& seg : c.get_segments())
        if (seg->start <= s && s <= seg->start + seg->length) return seg.get();
    return nullptr;
}

// A polyline on the ground whose corners turn by at most `max_turn` radians either way.
Points random_route(std::mt19937& rng, int corners, float max_turn, float min_leg, float max_leg) {
    std::uniform_real_distribution<float> turn(-max_turn, max_turn), leg(min_leg, max_leg);
    Points p{osg::Vec3f(0, 0, 0)};
    float heading = 0.0f;
    for (int i = 0; i <= corners; ++i) {
        if (i > 0) heading += turn(rng);
        const float l = leg(rng);
        p.push_back(p.back() + osg::Vec3f(std::cos(heading) * l, 0.0f, -std::sin(heading) * l));
    }
    return p;
}

// Right-angle corner at (5,0,0): legs of length 5.
const Points kRightAngle{osg::Vec3f(0, 0, 0), osg::Vec3f(5, 0, 0), osg::Vec3f(5, 0, -5)};

}  // namespace

TEST(CharacterControllerSmoothing, SegmentLengthsOfSimpleRoutes) {
    struct Case {
        const char* name;
        Points route;
        std::vector<float> lengths;
    };
    const float q = float(M_PI / 2);
    const Case cases[] = {
        {"two points: no segments", {{0, 0, 0}, {3, 0, 0}}, {}},
        {"right angle: line and quarter arc", kRightAngle, {4, q}},
        {"straight corner: one line to the corner", {{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {4, 0, -4}}, {2, 1, q}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CharacterController cc;
        cc.set_route(c.route, kNoPosition, nullptr);
        const auto& segs = cc.get_segments();
        ASSERT_EQ(segs.size(), c.lengths.size());
        float start = 0.0f;
        for (size_t i = 0; i < segs.size(); ++i) {
            EXPECT_NEAR(segs[i]->start, start, 1e-5);
            EXPECT_NEAR(segs[i]->length, c.lengths[i], 1e-5);
            start += c.lengths[i];
        }
        EXPECT_NEAR(cc.get_segments_length(), start, 1e-5);
        EXPECT_EQ(cc.get_distance(), 0.0f);
    }
    CharacterController two;
    two.set_route(cases[0].route, kNoPosition, nullptr);
    EXPECT_EQ(two.get_points(), cases[0].route);
    EXPECT_FLOAT_EQ(two.get_route_length(), 3.0f);

    CharacterController c;
    c.set_route(kRightAngle, kNoPosition, nullptr);
    auto* arc = dynamic_cast<const CharacterController::ArcSegment*>(c.get_segments()[1].get());
    ASSERT_NE(arc, nullptr);
    EXPECT_NEAR((arc->from - osg::Vec3f(4, 0, 0)).length(), 0.0f, 1e-5);
    EXPECT_NEAR((arc->to - osg::Vec3f(5, 0, -1)).length(), 0.0f, 1e-5);
    EXPECT_NEAR((arc->center - osg::Vec3f(4, 0, -1)).length(), 0.0f, 1e-5);
    // The polyline: the route's first point, then arc samples every 0.1 of the arc's length.
    const Points pts = c.get_points();
    ASSERT_EQ(pts.size(), 1u + 16u);
    EXPECT_EQ(pts[0], osg::Vec3f(0, 0, 0));
    EXPECT_NEAR((pts[1] - arc->from).length(), 0.0f, 1e-5);

    // About 30 degrees between the legs: the arc is still at most a quarter turn.
    c.set_route({{0, 0, 0}, {10, 0, 0}, {10 - 8.66f, 0, -5}}, kNoPosition, nullptr);
    ASSERT_EQ(c.get_segments().size(), 2u);
    EXPECT_GE(c.get_segments()[1]->length, 0.0f);
    EXPECT_LE(c.get_segments()[1]->length, M_PI / 2 + 1e-6);
}

TEST(CharacterControllerSmoothing, ShortLegsGiveStraightSegmentAndIndexedMessage) {
    test::LogCapture log;
    CharacterController c;
    // Second corner's legs (0.5) are shorter than t = 1 of a right angle.
    const Points route{{0, 0, 0}, {5, 0, 0}, {5, 0, -5}, {5.5f, 0, -5}, {5.5f, 0, -5.5f}};
    c.set_route(route, kNoPosition, nullptr);
    EXPECT_TRUE(log.has(LOG_ERROR, "Can not smooth segment 2")) << log.dump();
    EXPECT_TRUE(log.has(LOG_ERROR, "Can not smooth segment 1")) << log.dump();
    EXPECT_FALSE(log.has("Can not smooth segment 0")) << log.dump();
    // Line, arc, then one straight segment for each corner that did not fit.
    const auto& segs = c.get_segments();
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_EQ(dynamic_cast<const CharacterController::ArcSegment*>(segs[2].get()), nullptr);
    EXPECT_NEAR((segs[2]->to - route[2]).length(), 0.0f, 1e-5);
    EXPECT_NEAR((segs[3]->to - route[3]).length(), 0.0f, 1e-5);

    log.clear();
    CharacterController quiet;
    Points out;
    quiet._smooth_route3({route[2], route[3], route[4]}, out, true);
    EXPECT_TRUE(quiet.get_segments().empty());
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log.has(LOG_WARNING, "route reconstruction not implemented")) << log.dump();
    EXPECT_FALSE(log.has("Can not smooth"));
}

TEST(CharacterControllerSmoothing, DegenerateCornersStayFinite) {
    test::LogCapture log;
    const std::vector<Points> routes = {
        {{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {6, 0, 0}},                          // collinear
        {{0, 0, 0}, {3, 0, 0}, {3, 0, 0}, {3, 0, -3}, {3, 0, -3}, {6, 0, -3}},  // zero-length legs
        {{1, 0, 1}, {1, 0, 1}, {1, 0, 1}},
        {{0, 0, 0}, {5, 0, 0}, {10, 0, 1e-6f}},  // nearly straight through
        {{0, 0, 0}, {5, 0, 0}, {0, 0, 0}},       // exact hairpin
        {{0, 0, 0}, {1000, 0, 0}, {0, 0, -1}},   // nearly a hairpin with long legs: the arc fits
    };
    for (size_t r = 0; r < routes.size(); ++r) {
        SCOPED_TRACE(r);
        CharacterController c;
        c.set_route(routes[r], kNoPosition, nullptr);
        EXPECT_TRUE(std::isfinite(c.get_segments_length()) && std::isfinite(c.get_route_length()));
        float sum = 0.0f;
        for (const auto& seg : c.get_segments()) {
            EXPECT_TRUE(std::isfinite(seg->start) && std::isfinite(seg->length));
            EXPECT_TRUE(finite(seg->from) && finite(seg->to));
            sum += seg->length;
        }
        EXPECT_NEAR(sum, c.get_segments_length(), 1e-3);
        for (const osg::Vec3f& p : c.get_points()) EXPECT_TRUE(finite(p));
        for (float s = -0.5f; s < c.get_segments_length() + 1.0f; s += 0.05f) {
            osg::Matrixf m;
            c.get_trajectory_position(s, 0.0f, m);
            for (int i = 0; i < 16; ++i) ASSERT_TRUE(std::isfinite(m.ptr()[i])) << "at " << s;
        }
    }
}

TEST(CharacterControllerTrajectory, PlacementOnLinesArcsBoundariesAndBeforeTheStart) {
    CharacterController c;
    c.set_route(kRightAngle, kNoPosition, nullptr);
    osg::Matrixf m = osg::Matrixf::translate(1, 2, 3);
    EXPECT_EQ(c.get_trajectory_position(-0.5f, 0.0f, m), CharacterController::ROUTE_ON);
    EXPECT_TRUE(m.isIdentity());
    // The offset counts towards the distance.
    EXPECT_EQ(c.get_trajectory_position(0.5f, -1.0f, m), CharacterController::ROUTE_ON);
    EXPECT_TRUE(m.isIdentity());
    EXPECT_FLOAT_EQ(c.get_distance(), -0.5f);

    ASSERT_EQ(c.get_trajectory_position(2.0f, 0.0f, m), CharacterController::ROUTE_ON);
    EXPECT_NEAR((m.getTrans() - osg::Vec3d(2, 0, 0)).length(), 0.0, 1e-5);
    EXPECT_NEAR(heading_of(m), 0.0f, 1e-5);
    // With an offset the position is taken further along and moved back along the direction.
    ASSERT_EQ(c.get_trajectory_position(1.0f, 1.0f, m), CharacterController::ROUTE_ON);
    EXPECT_NEAR((m.getTrans() - osg::Vec3d(1, 0, 0)).length(), 0.0, 1e-5);
    EXPECT_NEAR((c.get_position() - osg::Vec3f(2, 0, 0)).length(), 0.0f, 1e-5);
    // Half-way round the arc the character faces between +X and -Z, on the circle.
    ASSERT_EQ(c.get_trajectory_position(4.0f + float(M_PI / 4), 0.0f, m), CharacterController::ROUTE_ON);
    EXPECT_NEAR(heading_of(m), M_PI / 4, 1e-4);
    EXPECT_NEAR((osg::Vec3f(m.getTrans()) - osg::Vec3f(4, 0, -1)).length(), 1.0f, 1e-5);

    // A boundary answers from the earlier segment: the line's heading, not the arc's.
    const auto& segs = c.get_segments();
    const float boundary = segs[0]->start + segs[0]->length;
    osg::Matrixf in;
    in(3, 0) = boundary;
    osg::Vec3f p;
    float value = 7.0f;
    ASSERT_EQ(c.get_trajectory_position(in, p, value), CharacterController::ROUTE_ON);
    EXPECT_EQ(value, 0.0f);
    EXPECT_EQ(p, segs[0]->get_point(boundary));
    c.get_trajectory_position(boundary, 0.0f, m);
    EXPECT_NEAR(heading_of(m), 0.0f, 1e-6);

    // Copies share segments but not query state.
    CharacterController copy = c;
    EXPECT_EQ(c.get_segments()[0].get(), copy.get_segments()[0].get());
    copy.get_trajectory_position(3.0f, 0.0f, m);
    EXPECT_FLOAT_EQ(copy.get_distance(), 3.0f);
    EXPECT_FLOAT_EQ(c.get_distance(), boundary);
}

TEST(CharacterControllerTrajectory, RouteEndCallsTheCallbackOnEveryQueryBeyondTheEnd) {
    CharacterController c;
    int calls = 0;
    c.set_route(kRightAngle, kNoPosition, [&] { ++calls; });
    const osg::Vec3f end = c.get_segments().back()->to;
    osg::Matrixf m;
    EXPECT_EQ(c.get_trajectory_position(c.get_segments_length(), 0.0f, m), CharacterController::ROUTE_ON);
    EXPECT_EQ(calls, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.get_trajectory_position(100.0f, 0.0f, m), CharacterController::ROUTE_END);
        EXPECT_EQ(osg::Vec3f(m.getTrans()), end);
    }
    EXPECT_EQ(c.get_position(), end);
    osg::Matrixf in;
    in(3, 0) = 100.0f;
    osg::Vec3f p;
    float value = 7.0f;
    EXPECT_EQ(c.get_trajectory_position(in, p, value), CharacterController::ROUTE_END);
    EXPECT_EQ(p, end);
    EXPECT_EQ(value, 7.0f);
    EXPECT_EQ(calls, 4);
    // Clearing keeps the callback.
    c.clear_route();
    EXPECT_TRUE(c.get_points().empty());
    EXPECT_EQ(c.get_trajectory_position(0.5f, 0.0f, m), CharacterController::ROUTE_END);
    EXPECT_TRUE(m.isIdentity());
    EXPECT_EQ(calls, 5);

    // Nothing set, no segments, or an empty callback: no crash.
    CharacterController none;
    EXPECT_EQ(none.get_trajectory_position(1.0f, 0.0f, m), CharacterController::ROUTE_END);
    EXPECT_TRUE(m.isIdentity());
    none.set_route({{0, 0, 0}, {3, 0, 0}}, kNoPosition, nullptr);
    EXPECT_NO_THROW(none.get_trajectory_position(1.0f, 0.0f, m));
    EXPECT_EQ(osg::Vec3f(m.getTrans()), osg::Vec3f(3, 0, 0));
    none.set_route(kRightAngle, kNoPosition, std::function<void()>());
    EXPECT_EQ(none.get_trajectory_position(50.0f, 0.0f, m), CharacterController::ROUTE_END);
}

// Properties over seeded random routes whose corners turn by at most 90 degrees.
TEST(CharacterControllerProperties, RandomRoutesAreContinuousAndTiled) {
    test::LogCapture log;
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 40; ++trial) {
        const Points route = random_route(rng, 2 + trial % 9, float(M_PI / 2), 0.3f, 6.0f);
        CharacterController c;
        c.set_route(route, kNoPosition, nullptr);
        const auto& segs = c.get_segments();
        ASSERT_FALSE(segs.empty());

        float sum = 0.0f;
        for (size_t i = 0; i < segs.size(); ++i) {
            sum += segs[i]->length;
            if (i + 1 == segs.size()) break;
            // Distances tile the route and the geometry joins.
            EXPECT_EQ(segs[i]->start + segs[i]->length, segs[i + 1]->start);
            const osg::Vec3f end = segs[i]->get_point(segs[i]->start + segs[i]->length);
            const osg::Vec3f next = segs[i + 1]->get_point(segs[i + 1]->start);
            EXPECT_NEAR((end - next).length(), 0.0f, 1e-3) << "trial " << trial << " segment " << i;
        }
        EXPECT_NEAR(sum, c.get_segments_length(), 1e-3);

        // Walking in small steps: small moves and small heading changes, except where a corner was
        // too tight for its arc (the route then turns on the spot at the corner).
        const float step = 0.01f;
        osg::Matrixf prev;
        c.get_trajectory_position(0.0f, 0.0f, prev);
        for (float s = step; s <= c.get_segments_length(); s += step) {
            osg::Matrixf m;
            ASSERT_EQ(c.get_trajectory_position(s, 0.0f, m), CharacterController::ROUTE_ON);
            EXPECT_LE((m.getTrans() - prev.getTrans()).length(), step * 1.01 + 1e-4) << "trial " << trial;
            if (angle_diff(heading_of(m), heading_of(prev)) > 0.05f) {
                // Only a straight segment ending at an unsmoothed route corner may turn sharply.
                const auto* seg = linear_find(c, s - step);
                ASSERT_NE(seg, nullptr);
                EXPECT_EQ(dynamic_cast<const CharacterController::ArcSegment*>(seg), nullptr);
                EXPECT_NE(std::find(route.begin(), route.end(), seg->to), route.end()) << "trial " << trial;
                EXPECT_TRUE(log.has("Can not smooth segment")) << "trial " << trial << " at " << s;
            }
            prev = m;
        }
        log.clear();
    }
}

TEST(CharacterControllerProperties, SegmentSearchMatchesOrderedScan) {
    std::mt19937 rng(99);
    test::LogCapture log;
    for (int trial = 0; trial < 10; ++trial) {
        const Points route = random_route(rng, 30, float(M_PI * 0.9), 0.2f, 4.0f);
        CharacterController c;
        c.set_route(route, kNoPosition, nullptr);
        std::vector<float> probes;
        for (const auto& seg : c.get_segments()) {
            probes.push_back(seg->start);
            probes.push_back(seg->start + seg->length);
            probes.push_back(seg->start + 0.5f * seg->length);
        }
        std::uniform_real_distribution<float> any(0.0f, c.get_segments_length() + 1.0f);
        for (int i = 0; i < 200; ++i) probes.push_back(any(rng));
        for (float s : probes) {
            osg::Matrixf in;
            in(3, 0) = s;
            osg::Vec3f p;
            float value = 0.0f;
            const auto* expected = linear_find(c, s);
            const auto state = c.get_trajectory_position(in, p, value);
            if (!expected) {
                EXPECT_EQ(state, CharacterController::ROUTE_END);
            } else {
                ASSERT_EQ(state, CharacterController::ROUTE_ON);
                EXPECT_EQ(p, expected->get_point(s)) << "at " << s;
            }
        }
    }
}
