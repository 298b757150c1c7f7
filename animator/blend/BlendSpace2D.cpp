// A 2-D blend space: samples over two property axes, the surrounding cell, the bilinear record, root
// motion and route plan.
#include "animator/blend/BlendSpace2D.h"

#include <algorithm>
#include <cmath>

#include "animator/library/AnimationManager.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

constexpr float FLOAT_MAX = 3.4028235e38f;
constexpr float WHOLE_CLIP_TIME = 1e38f;

}  // namespace

BlendSpace2D::BlendSpace2D() { type = BS_2D; }

void BlendSpace2D::_do_load(Lua::Config& cfg, AnimationManager* m) {
    BlendSpace::_do_load(cfg, m);
    if (cfg.open("y_axis")) {
        y_axis_name.clear();
        cfg.read("name", y_axis_name);
        cfg.close();
    }
    y_min = FLOAT_MAX;
    y_max = -FLOAT_MAX;
}

void BlendSpace2D::load(Lua::Config& cfg, AnimationManager* m) {
    _do_load(cfg, m);
    for (int i = 1; cfg.open(i); ++i) {
        float x = 0.0f;
        float y = 0.0f;
        std::string clip_name;
        cfg.read("x", x);
        cfg.read("y", y);
        cfg.read("animation", clip_name);
        cfg.close();
        x_min = std::min(x_min, x);
        x_max = std::max(x_max, x);
        y_min = std::min(y_min, y);
        y_max = std::max(y_max, y);
        const unsigned short c = manager ? manager->get_animation_index(clip_name) : INVALID_CLIP;
        _add(x, y, c);
    }
}

void BlendSpace2D::_add(float x, float y, int c) {
    NodePoint p;
    p.x = x;
    p.y = y;
    p.clip = c;
    p.motion = _clip_root_motion(c, WHOLE_CLIP_TIME, osg::Vec3f(0.0f, -1.0f, -1.0f));
    points2d.push_back(p);
}

bool BlendSpace2D::is_playable() const {
    if (points2d.empty()) return false;
    return std::all_of(points2d.begin(), points2d.end(),
                       [this](const NodePoint& p) { return _is_valid_clip(p.clip); });
}

void BlendSpace2D::gui(CharacterModelCookie*, bool) {}

bool BlendSpace2D::has_property(const std::string& n) const { return n == x_axis_name || n == y_axis_name; }

std::array<BlendSpace2D::NodePoint, 4> BlendSpace2D::get(float x_in, float y_in) const {
    const float x = clamp(x_in, x_min, x_max);
    const float y = clamp(y_in, y_min, y_max);
    float x_lo = -FLOAT_MAX, x_hi = FLOAT_MAX, y_lo = -FLOAT_MAX, y_hi = FLOAT_MAX;
    for (const NodePoint& p : points2d) {
        if (p.x <= x) x_lo = std::max(x_lo, p.x);
        if (p.x > x) x_hi = std::min(x_hi, p.x);
        if (p.y <= y) y_lo = std::max(y_lo, p.y);
        if (p.y > y) y_hi = std::min(y_hi, p.y);
    }
    const float cx[4] = {x_lo, x_hi, x_lo, x_hi};
    const float cy[4] = {y_lo, y_lo, y_hi, y_hi};

    std::array<NodePoint, 4> result;
    for (int k = 0; k < 4; ++k) {
        float best = FLOAT_MAX;
        for (const NodePoint& p : points2d) {
            const float dx = p.x - cx[k];
            const float dy = p.y - cy[k];
            // A corner left at the float limit gives an infinite distance and keeps the default point.
            const float dist = std::sqrt(dx * dx + dy * dy);
            if (dist <= best) {
                best = dist;
                result[k] = p;
            }
        }
    }
    return result;
}

float BlendSpace2D::_update(float, IPropertyHolder* props, ShaderBlendSpace2D& r) const {
    for (auto& s : r.samples) s = ShaderBlendSpace2D::Sample();
    r.weight_x = 0.0f;
    r.weight_y = 0.0f;
    r.loop = loop ? 1.0f : 0.0f;
    r.loop_start = -1.0f;
    r.loop_end = -1.0f;
    r.blend_space_id = id;
    if (!is_playable()) {
        r.kind = BS_RECORD_EMPTY;
        r.cycle_duration = 0.0f;
        return 0.0f;
    }

    const float x = clamp(_property(props, x_axis_name), x_min, x_max);
    const float y = clamp(_property(props, y_axis_name), y_min, y_max);
    const auto p = get(x, y);
    const float u = _ratio(x - p[0].x, p[1].x - p[0].x);
    const float v = _ratio(y - p[0].y, p[2].y - p[0].y);
    double d[4];
    for (int k = 0; k < 4; ++k) d[k] = _clip_duration(p[k].clip);
    const double wu = u;
    const double wv = v;
    const float low = static_cast<float>(d[0] * (1.0 - wu) + d[1] * wu);
    const float high = static_cast<float>(d[2] * (1.0 - wu) + d[3] * wu);
    const float total = static_cast<float>(static_cast<double>(low) * (1.0 - wv) + static_cast<double>(high) * wv);

    r.kind = BS_RECORD_2D;
    for (int k = 0; k < 4; ++k) r.samples[k] = {p[k].x, p[k].y, static_cast<float>(p[k].clip)};
    r.weight_x = u;
    r.weight_y = v;
    r.cycle_duration = total;
    return total;
}

osg::Matrixf BlendSpace2D::_blend_matrices(const ShaderBlendSpace2D& r, float phase, bool looping) const {
    if (!is_playable()) return osg::Matrixf();
    const osg::Vec3f loop_vec(looping ? 1.0f : 0.0f, -1.0f, -1.0f);
    osg::Matrixf a[4];
    for (int k = 0; k < 4; ++k) {
        const int c = saturate_to_int(r.samples[k].clip);
        a[k] = _clip_root_motion(c, phase * _clip_duration(c), loop_vec);
    }
    return blend_matrices(blend_matrices(a[0], a[1], r.weight_x), blend_matrices(a[2], a[3], r.weight_x), r.weight_y);
}

RoutePlan BlendSpace2D::get_route_plan(IPropertyHolder* props) const {
    return get_route_plan(_property(props, x_axis_name), _property(props, y_axis_name));
}

RoutePlan BlendSpace2D::get_route_plan(float a, float b) const {
    if (!is_playable()) return RoutePlan(osg::Vec3f(), osg::Vec2f());
    const float x = clamp(a, x_min, x_max);
    const float y = clamp(b, y_min, y_max);
    const auto p = get(x, y);
    const float u = _ratio(x - p[0].x, p[1].x - p[0].x);
    const float v = _ratio(y - p[0].y, p[2].y - p[0].y);
    const osg::Matrixf lower = blend_matrices(p[0].motion, p[1].motion, u);
    const osg::Matrixf upper = blend_matrices(p[2].motion, p[3].motion, u);
    const osg::Matrixf mid = blend_matrices(lower, upper, v);
    return RoutePlan(osg::Vec3f(_ground_distance(lower), _ground_distance(mid), _ground_distance(upper)),
                     osg::Vec2f(p[0].y, p[2].y));
}

}  // namespace Animator
