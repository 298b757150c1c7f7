// A 1-D blend space: samples along one property axis, the bracketing pair, the blended record, root
// motion and route plan.
#include "animator/blend/BlendSpace.h"

#include <algorithm>
#include <cmath>

#include "animator/library/AnimationManager.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

constexpr float WHOLE_CLIP_TIME = 1e38f;

}  // namespace

BlendSpace::BlendSpace() { type = BS_1D; }

void BlendSpace::_do_load(Lua::Config& cfg, AnimationManager* m) {
    Animation::_do_load(cfg, m);
    if (cfg.open("x_axis")) {
        x_axis_name.clear();
        cfg.read("name", x_axis_name);
        cfg.close();
    }
    x_min = 3.4028235e38f;
    x_max = -3.4028235e38f;
}

void BlendSpace::load(Lua::Config& cfg, AnimationManager* m) {
    _do_load(cfg, m);
    for (int i = 1; cfg.open(i); ++i) {
        float x = 0.0f;
        std::string clip_name;
        cfg.read("x", x);
        cfg.read("animation", clip_name);
        cfg.close();
        x_min = std::min(x_min, x);
        x_max = std::max(x_max, x);
        const unsigned short c = manager ? manager->get_animation_index(clip_name) : INVALID_CLIP;
        _add(x, c);
    }
}

void BlendSpace::_add(float x, int c) {
    NodePoint p;
    p.x = x;
    p.clip = c;
    p.motion = _clip_root_motion(c, WHOLE_CLIP_TIME, osg::Vec3f(0.0f, -1.0f, -1.0f));
    points.push_back(p);
}

bool BlendSpace::is_playable() const {
    if (points.empty()) return false;
    return std::all_of(points.begin(), points.end(), [this](const NodePoint& p) { return _is_valid_clip(p.clip); });
}

void BlendSpace::gui(CharacterModelCookie*, bool) {}

bool BlendSpace::has_property(const std::string& n) const { return n == x_axis_name; }

std::array<BlendSpace::NodePoint, 2> BlendSpace::get(float x) const {
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        if (points[i].x <= x && x <= points[i + 1].x) return {points[i], points[i + 1]};
    }
    return {NodePoint(), NodePoint()};
}

float BlendSpace::_update(float time, IPropertyHolder* props, ShaderBlendSpace2D& r) const {
    for (auto& s : r.samples) s = ShaderBlendSpace2D::Sample();
    r.weight_x = 0.0f;
    r.weight_y = 0.0f;
    r.play_length = 0.0f;
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
    const auto p = get(x);
    const float u = _ratio(x - p[0].x, p[1].x - p[0].x);
    const double d0 = _clip_duration(p[0].clip);
    const double d1 = _clip_duration(p[1].clip);
    const double wu = u;
    const float d = static_cast<float>(d0 * (1.0 - wu) + d1 * wu);

    r.kind = BS_RECORD_2D;
    r.samples[0] = {p[0].x, 0.0f, static_cast<float>(p[0].clip)};
    r.samples[1] = {p[1].x, 0.0f, static_cast<float>(p[1].clip)};
    r.weight_x = u;
    // Keep the phase of a running cycle; a zero-length cycle has no phase to keep.
    if (d > 0.0f) r.start_time = time - std::fmod(time - r.start_time, d);
    r.cycle_duration = d;
    return d;
}

float BlendSpace::_get_duration(IPropertyHolder* props) const {
    ShaderBlendSpace2D r;
    return _update(0.0f, props, r);
}

osg::Matrixf BlendSpace::get_root_matrix(float time, const ShaderBlendSpace2D& r) const {
    const float x = time - r.start_time;
    const bool looping = r.loop > 0.0f;
    float phase = 0.0f;
    if (r.cycle_duration > 0.0f) {
        phase = looping ? std::fmod(x, r.cycle_duration) / r.cycle_duration : clamp(x / r.cycle_duration, 0.0f, 1.0f);
    }
    return _blend_matrices(r, phase, looping);
}

osg::Matrixf BlendSpace::get_root_end(const ShaderBlendSpace2D& r) const { return _blend_matrices(r, 1.0f, false); }

osg::Matrixf BlendSpace::get_root_start(const ShaderBlendSpace2D& r) const { return _blend_matrices(r, 0.0f, false); }

osg::Matrixf BlendSpace::_blend_matrices(const ShaderBlendSpace2D& r, float phase, bool looping) const {
    if (!is_playable()) return osg::Matrixf();
    const osg::Vec3f loop_vec(looping ? 1.0f : 0.0f, -1.0f, -1.0f);
    osg::Matrixf a[2];
    for (int k = 0; k < 2; ++k) {
        const int c = saturate_to_int(r.samples[k].clip);
        a[k] = _clip_root_motion(c, phase * _clip_duration(c), loop_vec);
    }
    return blend_matrices(a[0], a[1], r.weight_x);
}

RoutePlan BlendSpace::get_route_plan(IPropertyHolder* props) const {
    return get_route_plan(_property(props, x_axis_name), 0.0f);
}

RoutePlan BlendSpace::get_route_plan(float a, float) const {
    if (!is_playable()) return RoutePlan(osg::Vec3f(), osg::Vec2f());
    const float x = clamp(a, x_min, x_max);
    const auto p = get(x);
    const float u = _ratio(x - p[0].x, p[1].x - p[0].x);
    const osg::Matrixf m = blend_matrices(p[0].motion, p[1].motion, u);
    return RoutePlan(osg::Vec3f(_ground_distance(p[0].motion), _ground_distance(m), _ground_distance(p[1].motion)),
                     osg::Vec2f(p[0].x, p[1].x));
}

}  // namespace Animator
