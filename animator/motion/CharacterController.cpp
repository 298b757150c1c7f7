#include "animator/motion/CharacterController.h"

#include <algorithm>
#include <cmath>

#include <osg/Quat>
#include <osg/Vec3d>
#include <osg/Vec4f>

#include "animator/util/Log.h"
#include "host/Render.h"

namespace Animator {

namespace {

// Spacing of the arc samples appended to the smoothed polyline.
constexpr float kArcSampleStep = 0.1f;
// Chords shorter than this give no direction.
constexpr float kMinChord = 0.01f;
// A corner turning by less than this (radians) is passed straight through.
constexpr double kStraightTurn = 1e-5;

const osg::Vec3f kUp(0.0f, 1.0f, 0.0f);

osg::Vec3d to_d(const osg::Vec3f& v) { return osg::Vec3d(v.x(), v.y(), v.z()); }
osg::Vec3f to_f(const osg::Vec3d& v) { return osg::Vec3f(float(v.x()), float(v.y()), float(v.z())); }

// Unit vector; a zero vector stays zero.
osg::Vec3d unit(const osg::Vec3d& v) {
    const double len = v.length();
    return len > 0.0 ? v / len : v;
}

osg::Vec3f rotate_about_up(const osg::Vec3f& v, float angle) {
    return v * osg::Matrixf::rotate(osg::Quat(angle, osg::Vec3d(kUp)));
}

}  // namespace

osg::Vec3f CharacterController::LineSegment::get_point(float s) const {
    if (!(length > 0.0f)) return from;
    return from + (to - from) * ((s - start) / length);
}

osg::Vec3f CharacterController::ArcSegment::get_point(float s) const {
    const float phi = sense * (s - start) / radius;
    return center + rotate_about_up(from - center, phi);
}

osg::Vec3f CharacterController::ArcSegment::get_tangent(float s) const {
    // The derivative of a rotation about +Y: up x (p - centre), signed by the turning sense.
    const osg::Vec3f r = get_point(s) - center;
    osg::Vec3f d = (kUp ^ r) * sense;
    const float len = d.length();
    return len > 0.0f ? d / len : osg::Vec3f(0.0f, 0.0f, 0.0f);
}

void CharacterController::set_route(const std::vector<osg::Vec3f>& points, const wPosition3<float>&,
                                    std::function<void()> callback) {
    _on_route_end = std::move(callback);
    _segments.clear();
    _points.clear();
    _route = points;
    _smooth_route3(_route, _points, false);
    _route_length = 0.0f;
    for (size_t i = 1; i < _points.size(); ++i) _route_length += (_points[i] - _points[i - 1]).length();
    _distance = 0.0f;
}

void CharacterController::clear_route() {
    _segments.clear();
    _points.clear();
    _route.clear();
}

void CharacterController::set_turn_radius(float radius) {
    if (!(radius > 0.0f) || !std::isfinite(radius)) {
        log_message(LOG_TAG, LOG_ERROR, "turn radius %f refused", radius);
        return;
    }
    _turn_radius = radius;
}

void CharacterController::_smooth_route3(const std::vector<osg::Vec3f>& route, std::vector<osg::Vec3f>& out,
                                         bool quiet) {
    float total = 0.0f;
    if (route.size() < 3) {
        out.insert(out.end(), route.begin(), route.end());
        _segments_length = 0.0f;
        return;
    }

    auto add_line = [&](const osg::Vec3f& a, const osg::Vec3f& b) {
        auto line = std::make_shared<LineSegment>();
        line->start = total;
        line->length = (b - a).length();
        line->from = a;
        line->to = b;
        total += line->length;
        _segments.push_back(std::move(line));
    };

    std::vector<osg::Vec3f> p = route;
    const double R = _turn_radius;
    for (size_t k = 1; k + 1 < p.size(); ++k) {
        const osg::Vec3d A = to_d(p[k - 1]), B = to_d(p[k]), C = to_d(p[k + 1]);
        const double ab = (B - A).length(), bc = (C - B).length(), ac = (C - A).length();

        // A repeated point or a corner that does not turn needs no arc: walk straight to the corner.
        double theta = M_PI;
        if (ab > 0.0 && bc > 0.0) {
            const double c = (bc * bc + ab * ab - ac * ac) / (2.0 * ab * bc);
            theta = std::acos(std::clamp(c, -1.0, 1.0));
        }
        if (M_PI - theta < kStraightTurn) {
            out.push_back(p[k - 1]);
            if (ab > 0.0) add_line(p[k - 1], p[k]);
            continue;
        }

        const double t = R / std::tan(theta / 2.0);
        if (!std::isfinite(t) || t > ab || t > bc) {
            if (!quiet) {
                log_message(LOG_TAG, LOG_ERROR, "Can not smooth segment %d", static_cast<int>(k) - 1);
                add_line(p[k - 1], p[k]);
            } else {
                log_message(LOG_TAG, LOG_WARNING, "route reconstruction not implemented");
            }
            continue;
        }

        const osg::Vec3d u = unit(A - B), v = unit(C - B);
        const osg::Vec3d T1 = B + u * t, T2 = B + v * t;
        const osg::Vec3d O = B + unit(u + v) * (R / std::sin(theta / 2.0));

        add_line(p[k - 1], to_f(T1));

        auto arc = std::make_shared<ArcSegment>();
        arc->start = total;
        arc->from = to_f(T1);
        arc->to = to_f(T2);
        arc->center = to_f(O);
        arc->radius = 1.0f;
        const osg::Vec3d r1 = T1 - O, r2 = T2 - O;
        const double norms = r1.length() * r2.length();
        arc->length = norms > 0.0 ? float(std::acos(std::clamp(std::fabs(r1 * r2) / norms, 0.0, 1.0))) : 0.0f;
        // Turn the way that carries the first tangent point towards the second.
        arc->sense = (r1 ^ r2).y() < 0.0 ? -1.0f : 1.0f;

        p[k] = arc->to;
        out.push_back(p[k - 1]);
        for (int j = 0; j * kArcSampleStep < arc->length; ++j) out.push_back(arc->get_point(total + j * kArcSampleStep));
        total += arc->length;
        _segments.push_back(std::move(arc));
    }
    _segments_length = total;
}

int CharacterController::_find_segment(float s) const {
    // Segments tile the route distance in order, so their ends rise: the first segment whose end is at
    // or after s is the first one holding s (at a shared boundary the earlier segment answers).
    auto it = std::lower_bound(_segments.begin(), _segments.end(), s,
                               [](const std::shared_ptr<LineSegment>& seg, float d) {
                                   return seg->start + seg->length < d;
                               });
    if (it == _segments.end()) return -1;
    if ((*it)->start <= s) return static_cast<int>(it - _segments.begin());
    // Not tiled (never produced by the smoothing): fall back to the ordered scan.
    for (size_t i = 0; i < _segments.size(); ++i)
        if (_segments[i]->start <= s && s <= _segments[i]->start + _segments[i]->length) return static_cast<int>(i);
    return -1;
}

osg::Vec3f CharacterController::_direction_at(int i, float s) const {
    const osg::Vec3f own = _segments[i]->get_tangent(s);
    if (own.length() > kMinChord) return own;
    for (int k = i - 1; k >= 0; --k) {
        const LineSegment& seg = *_segments[k];
        const osg::Vec3f d = seg.get_tangent(seg.start + seg.length);
        if (d.length() > kMinChord) return d;
    }
    for (size_t k = i + 1; k < _segments.size(); ++k) {
        const LineSegment& seg = *_segments[k];
        const osg::Vec3f d = seg.get_tangent(seg.start);
        if (d.length() > kMinChord) return d;
    }
    return own;
}

CharacterController::RouteState CharacterController::get_trajectory_position(float distance, float offset,
                                                                             osg::Matrixf& out) {
    const float s = distance + offset;
    _distance = s;
    if (s < 0.0f) {
        out.makeIdentity();
        return ROUTE_ON;
    }
    const int i = _find_segment(s);
    if (i >= 0) {
        const osg::Vec3f p = _segments[i]->get_point(s);
        _position = p;
        // Face the direction of travel; a route with none anywhere leaves the heading at 0.
        osg::Vec3f d = _direction_at(i, s);
        float heading = 0.0f;
        const float len = d.length();
        if (len > kMinChord) {
            d /= len;
            heading = -std::atan2(d.z(), d.x());
        }
        out = osg::Matrixf::rotate(osg::Quat(heading, osg::Vec3d(kUp))) * osg::Matrixf::translate(p - d * offset);
        return ROUTE_ON;
    }

    if (_on_route_end) _on_route_end();
    if (!_segments.empty()) {
        _position = _segments.back()->to;
        out = osg::Matrixf::translate(_position);
    } else if (!_route.empty()) {
        _position = _route.back();
        out = osg::Matrixf::translate(_position);
    } else {
        out.makeIdentity();
    }
    return ROUTE_END;
}

CharacterController::RouteState CharacterController::get_trajectory_position(const osg::Matrixf& in,
                                                                             osg::Vec3f& position,
                                                                             float& value) {
    const float s = in(3, 0);
    _distance = s;
    if (s < 0.0f) {
        position = osg::Vec3f(0.0f, 0.0f, 0.0f);
        value = 0.0f;
        return ROUTE_ON;
    }
    const int i = _find_segment(s);
    if (i >= 0) {
        position = _segments[i]->get_point(s);
        value = 0.0f;
        return ROUTE_ON;
    }
    if (_on_route_end) _on_route_end();
    if (!_segments.empty())
        position = _segments.back()->to;
    else if (!_route.empty())
        position = _route.back();
    else
        position = osg::Vec3f(0.0f, 0.0f, 0.0f);
    return ROUTE_END;
}

void CharacterController::render(const osg::Matrixf& transform) {
    if (_points.empty()) return;
    static render::RenderLine line;
    line.render(_points.data(), _points.size(), transform, osg::Vec4f(1, 0, 0, 1), 0xFFFFFFFFu, true);
    if (!_route.empty())
        line.render(_route.data(), _route.size(), transform, osg::Vec4f(0, 0, 1, 1), 0xF0F0F0F0u, true);
    const osg::Vec3f p = _position;
    const osg::Vec3f axes[6] = {p, p + osg::Vec3f(1, 0, 0), p, p + osg::Vec3f(0, 1, 0), p, p + osg::Vec3f(0, 0, 1)};
    line.render(axes, 6, transform, osg::Vec4f(1, 1, 1, 1), 0xFFFFFFFFu, true);
}

}  // namespace Animator
