// Follows a route on the ground: rounds the corners of a polyline into lines and arcs measured by
// distance along the route, and places a character at a distance walked along that chain.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include <osg/Matrixf>
#include <osg/Vec3f>

#include "host/Position.h"

namespace Animator {

class CharacterController {
public:
    // A straight piece of the route covering [start, start + length] of route distance.
    struct LineSegment {
        float start = 0.0f;
        float length = 0.0f;
        osg::Vec3f from;
        osg::Vec3f to;

        virtual ~LineSegment() = default;
        // The point at route distance s.
        virtual osg::Vec3f get_point(float s) const;
        // A vector along the direction of travel at route distance s: the chord of a line.
        virtual osg::Vec3f get_tangent(float s) const { return to - from; }
    };

    // A circular piece between two tangent points; `length` is the turning angle in radians and the
    // arc is walked at one distance unit per radian.
    struct ArcSegment : LineSegment {
        osg::Vec3f center;
        float radius = 1.0f;
        // +1 when the arc turns in the positive sense about +Y, -1 otherwise.
        float sense = 1.0f;

        osg::Vec3f get_point(float s) const override;
        // The unit tangent (zero for an arc of no radius).
        osg::Vec3f get_tangent(float s) const override;
    };

    // 0 while the distance lies before or on the route, 2 beyond its end.
    enum RouteState : int { ROUTE_ON = 0, ROUTE_END = 2 };

    CharacterController() = default;
    CharacterController(const CharacterController&) = default;
    CharacterController& operator=(const CharacterController&) = default;
    virtual ~CharacterController() = default;

    // Replaces the route and restarts the walked distance at 0; `callback` runs whenever a query
    // passes the route's end. The position is not used.
    void set_route(const std::vector<osg::Vec3f>& points, const wPosition3<float>& position,
                   std::function<void()> callback);
    // Drops segments, smoothed points and the route; keeps the callback and the lengths.
    void clear_route();
    std::vector<osg::Vec3f> get_points() const { return _points; }

    // Placement at route distance (distance + offset): the rotation to the direction of travel, then
    // the position there moved back by `offset` along it. Negative distance: identity, ROUTE_ON.
    // Beyond the end: the end of the last segment (the last route point on a route without
    // segments, the identity on an empty route), ROUTE_END, and the callback runs.
    RouteState get_trajectory_position(float distance, float offset, osg::Matrixf& out);
    // Position at the distance held in element 12 of `in`; `value` is set to 0 on the route.
    RouteState get_trajectory_position(const osg::Matrixf& in, osg::Vec3f& position, float& value);

    osg::Vec3f update_position(osg::Vec3f& position, float& value) { return osg::Vec3f(0, 0, 0); }
    // Debug drawing of the smoothed route, the route and the last found position.
    void render(const osg::Matrixf& transform);

    bool get_enabled() const { return _enabled; }
    void set_enabled(bool enabled) { _enabled = enabled; }

    // Corner rounding with arcs of radius `_turn_radius`; writes the segments and `_segments_length`
    // and appends the smoothed polyline to `out`. A corner whose arc does not fit becomes a straight
    // segment to the corner (quiet: it is left out). Public although underscored: set_route always asks
    // for the loud form, so the controller tests call the quiet one directly.
    void _smooth_route3(const std::vector<osg::Vec3f>& route, std::vector<osg::Vec3f>& out, bool quiet);

    const std::vector<std::shared_ptr<LineSegment>>& get_segments() const { return _segments; }
    const std::vector<osg::Vec3f>& get_route() const { return _route; }
    float get_segments_length() const { return _segments_length; }
    float get_route_length() const { return _route_length; }
    float get_distance() const { return _distance; }
    const osg::Vec3f& get_position() const { return _position; }
    float get_turn_radius() const { return _turn_radius; }
    // Radius of the corner arcs for later routes; a value that is not a positive number is refused.
    void set_turn_radius(float radius);

private:
    // Index of the segment answering route distance s >= 0, or -1 past the end.
    int _find_segment(float s) const;
    // The direction of travel at s on segment i; a segment too short to have one borrows it from
    // the nearest neighbour that has one (zero-length lines between arcs).
    osg::Vec3f _direction_at(int i, float s) const;

    float _segments_length = -1.0f;
    float _distance = -1.0f;
    float _route_length = 0.0f;
    osg::Vec3f _position{0.0f, 0.0f, 0.0f};
    std::vector<osg::Vec3f> _points;
    std::vector<osg::Vec3f> _route;
    std::vector<std::shared_ptr<LineSegment>> _segments;
    float _turn_radius = 1.0f;
    bool _enabled = false;
    std::function<void()> _on_route_end;
};

}  // namespace Animator
