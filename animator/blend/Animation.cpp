// A playable entry that plays one clip: loading, the clip record, root motion and route plan.
#include "animator/blend/Animation.h"

#include <algorithm>
#include <cmath>

#include "animator/blend/BlendSpace.h"
#include "animator/blend/BlendSpace2D.h"
#include "animator/blend/IPropertyHolder.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

constexpr float FRAMES_PER_SECOND = 30.0f;
constexpr float WHOLE_CLIP_TIME = 1e38f;
constexpr float FIRST_SAMPLE_TIME = -1e38f;

}  // namespace

Animation::Animation() = default;

std::unique_ptr<Animation> Animation::create(const std::string& kind) {
    if (kind == "animation") return std::make_unique<Animation>();
    if (kind == "1D") return std::make_unique<BlendSpace>();
    if (kind == "2D") return std::make_unique<BlendSpace2D>();
    return nullptr;
}

// ---- helpers shared by every entry kind

bool Animation::_is_valid_clip(int c) const {
    return manager && c >= 0 && c != INVALID_CLIP && c < manager->get_num_animations();
}

float Animation::_clip_duration(int c) const { return _is_valid_clip(c) ? manager->get_animation_duration(c) : 0.0f; }

osg::Matrixf Animation::_clip_root_motion(int c, float time, const osg::Vec3f& loop) const {
    if (!_is_valid_clip(c)) return osg::Matrixf();
    return std::get<0>(manager->get_root_matrix(c, time, loop));
}

float Animation::_ground_distance(const osg::Matrixf& m) {
    const float x = m(3, 0);
    const float z = m(3, 2);
    return std::sqrt(x * x + z * z);
}

float Animation::_ratio(float num, float den) {
    if (den == 0.0f) return 0.0f;
    const float r = num / den;
    return std::isfinite(r) ? r : 0.0f;
}

float Animation::_property(IPropertyHolder* props, const std::string& name) {
    return props ? props->get_property(name) : 0.0f;
}

// ---- loading

void Animation::_do_load(Lua::Config& cfg, AnimationManager* m) {
    manager = m;
    cfg.read("name", name);
    cfg.read("loop", loop);
    if (cfg.open("loop_params")) {
        float start = -1.0f;
        float end = -1.0f;
        cfg.read(1, start);
        cfg.read(2, end);
        cfg.close();
        loop_start = start / FRAMES_PER_SECOND;
        loop_end = end / FRAMES_PER_SECOND;
    }
}

void Animation::load(Lua::Config& cfg, AnimationManager* m) {
    _do_load(cfg, m);
    // The library logs a name it does not hold and answers 65535; the entry then stays unplayable.
    clip = manager ? static_cast<unsigned short>(manager->get_animation_index(name)) : INVALID_CLIP;
    type = BS_ANIMATION;
}

bool Animation::is_playable() const { return _is_valid_clip(clip); }

void Animation::gui(CharacterModelCookie*, bool) {}

bool Animation::has_property(const std::string&) const { return false; }

// ---- records

float Animation::_update(float, IPropertyHolder* props, ShaderBlendSpace2D& r) const {
    for (auto& s : r.samples) s = ShaderBlendSpace2D::Sample();
    r.blend_space_id = id;
    if (!is_playable()) {
        r.kind = BS_RECORD_EMPTY;
        r.cycle_duration = 0.0f;
        r.play_length = 0.0f;
        return 0.0f;
    }
    const int cycles = std::max(0, saturate_to_int(_property(props, "num_cycles")));
    const float d = _clip_duration(clip);
    r.kind = BS_RECORD_CLIP;
    r.samples[0].clip = static_cast<float>(clip);
    r.cycle_duration = d;
    r.play_length = static_cast<float>(cycles) * d;
    return d;
}

float Animation::_get_duration(IPropertyHolder*) const { return _clip_duration(clip); }

float Animation::apply(float time, CharacterModelCookie* cookie, IPropertyHolder* props, TransitionParams params,
                       ShaderBlendSpace2D& out) const {
    ShaderBlendSpace2D r = cookie ? cookie->get_blend_space(time) : ShaderBlendSpace2D();
    r.start_time = params.animation_start_shift ? time + *params.animation_start_shift : time;
    // Absent duration: std::bad_optional_access, before anything reaches the stack.
    const float blend = params.transition_duration.value();
    r.blend_start = time;
    r.blend_duration = blend;

    bool looping = loop;
    osg::Vec2f range(loop_start, loop_end);
    if (params.loop) {
        looping = *params.loop;
        if (params.loop_range) range = *params.loop_range;
    }
    r.loop = looping ? 1.0f : 0.0f;
    r.loop_start = range.x();
    r.loop_end = range.y();

    const float d = _update(time, props, r);
    if (cookie) cookie->push_blend_space(r);
    out = r;
    return d;
}

float Animation::get_num_cycles(float time, CharacterModelCookie* cookie) const {
    if (!cookie) return 0.0f;
    const ShaderBlendSpace2D& r = cookie->get_current_blend_space(time);
    return _ratio(time - r.start_time, r.cycle_duration);
}

// ---- root motion and route plans

osg::Matrixf Animation::get_root_matrix(float time, const ShaderBlendSpace2D& r) const {
    return _clip_root_motion(clip, time - r.start_time, osg::Vec3f(r.loop, r.loop_start, r.loop_end));
}

osg::Matrixf Animation::get_root_end(const ShaderBlendSpace2D&) const {
    return _clip_root_motion(clip, WHOLE_CLIP_TIME, osg::Vec3f(0.0f, -1.0f, -1.0f));
}

osg::Matrixf Animation::get_root_start(const ShaderBlendSpace2D&) const {
    return _clip_root_motion(clip, FIRST_SAMPLE_TIME, osg::Vec3f(0.0f, -1.0f, -1.0f));
}

osg::Matrixf Animation::get_principal_motion(float, CharacterModelCookie*) const { return osg::Matrixf(); }

RoutePlan Animation::get_route_plan(IPropertyHolder*) const { return get_route_plan(0.0f, 0.0f); }

RoutePlan Animation::get_route_plan(float, float) const {
    if (!is_playable()) return RoutePlan(osg::Vec3f(), osg::Vec2f());
    const float d = _ground_distance(_clip_root_motion(clip, WHOLE_CLIP_TIME, osg::Vec3f(0.0f, -1.0f, -1.0f)));
    return RoutePlan(osg::Vec3f(d, d, d), osg::Vec2f(0.0f, 0.0f));
}

}  // namespace Animator
