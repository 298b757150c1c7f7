// Pose sampling, node queries and the CPU evaluation of sample records of AnimationManager.
#include <algorithm>
#include <cmath>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

double rate_of(const aiAnimation* anim) { return anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : 25.0; }
double duration_of(const aiAnimation* anim) {
    return std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;
}

aiVector3D mix(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }
aiQuaternion mix(const aiQuaternion& a, const aiQuaternion& b, float f) {
    aiQuaternion out;
    aiQuaternion::Interpolate(out, a, b, f);
    return out;
}

// A key track at tick t, reading keys by index (key i = whole part of t); `rest` for an empty track.
template <class Key, class Value>
Value sample_track(const Key* keys, unsigned n, double t, const Value& rest) {
    if (n == 0 || !keys) return rest;
    if (n == 1 || keys[0].mTime > t) return keys[0].mValue;
    if (t > keys[n - 1].mTime || t == static_cast<double>(n - 1)) return keys[n - 1].mValue;
    const double whole = std::floor(t);
    const unsigned i = whole <= 0.0 ? 0u : std::min(static_cast<unsigned>(whole), n - 2);
    const double span = keys[i + 1].mTime - keys[i].mTime;
    float f = span != 0.0 ? static_cast<float>((t - keys[i].mTime) / span) : 0.0f;
    f = std::min(std::max(f, 0.0f), 1.0f);
    return mix(keys[i].mValue, keys[i + 1].mValue, f);
}

template <class Key>
const Key* key_at(const Key* keys, unsigned n, int k) {
    if (n == 0 || !keys) return nullptr;
    return &keys[std::min(static_cast<unsigned>(std::max(k, 0)), n - 1)];
}

osg::Matrixf rigid(const osg::Quat& q, const osg::Vec3f& p) {
    return osg::Matrixf::rotate(q) * osg::Matrixf::translate(p);
}

osg::Vec3f blend(const osg::Vec3f& a, const osg::Vec3f& b, float f) {
    const float wa = static_cast<float>(1.0 - static_cast<double>(f));
    return a * wa + b * f;
}

// Key pair (k0, k1) and factor of a tick over K samples; indices always inside [0, K - 1].
struct KeyPair {
    int k0 = 0, k1 = 0;
    float f = 0.0f;
};
KeyPair key_pair(float tick, int K) {
    KeyPair p;
    if (K <= 0 || !std::isfinite(tick)) return p;
    const float top = static_cast<float>(K - 1);
    const float t = std::min(std::max(tick, 0.0f), top);
    p.k0 = static_cast<int>(t);
    p.k1 = static_cast<int>(clamp(t + 1.0f, t, top));
    p.f = std::min(std::max(t - static_cast<float>(p.k0), 0.0f), 1.0f);
    return p;
}

// Clip index held as a float in a sample record; -1 for anything that is not a whole index.
int clip_of(float v) { return v >= 0.0f && v < 65535.0f ? static_cast<int>(v) : -1; }

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Ticks and poses

float AnimationManager::get_tick(const aiAnimation* anim, float time, bool loop) const {
    if (!anim) return 0.0f;
    const double duration = duration_of(anim);
    float tick = static_cast<float>(static_cast<double>(time) * rate_of(anim));
    if (duration <= 0.0) return 0.0f;
    if (loop)
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
    else
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    return std::isfinite(tick) ? tick : 0.0f;
}

void AnimationManager::_build_local_transforms(const aiAnimation* anim, float tick,
                                               std::vector<aiMatrix4x4>& locals) const {
    if (!anim) return;
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        const int id = _find_node(ch->mNodeName.C_Str());
        if (id < 0 || id >= static_cast<int>(locals.size())) continue;
        aiVector3D rest_scaling, rest_position;
        aiQuaternion rest_rotation;
        if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0)
            locals[id].Decompose(rest_scaling, rest_rotation, rest_position);
        const aiVector3D p = sample_track(ch->mPositionKeys, ch->mNumPositionKeys, tick, rest_position);
        const aiQuaternion q = sample_track(ch->mRotationKeys, ch->mNumRotationKeys, tick, rest_rotation);
        aiMatrix4x4 m(q.GetMatrix());
        m.a4 = p.x, m.b4 = p.y, m.c4 = p.z;
        locals[id] = m;
    }
}

void AnimationManager::_build_world_transforms(const std::vector<aiMatrix4x4>& locals,
                                               std::vector<aiMatrix4x4>& world) const {
    const size_t n = std::min(_rest_transforms.size(), locals.size());
    world.resize(_rest_transforms.size());
    for (size_t i = 0; i < n; ++i) {
        const std::vector<uint32_t>& path = _node_paths[i];
        aiMatrix4x4 w = locals[path[0]];
        for (size_t j = 1; j < path.size(); ++j) w = locals[path[j]] * w;
        world[i] = w;
    }
}

void AnimationManager::_build_bones(const std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const {
    bones.clear();
    const size_t n = std::min(world.size(), _node_paths.size());
    for (size_t i = 0; i < n; ++i) {
        const std::vector<uint32_t>& path = _node_paths[i];
        const size_t q = path.size() > 1 ? path[1] : i;
        bones.push_back(get_translation(world[q]));
        bones.push_back(get_translation(world[i]));
    }
}

void AnimationManager::_get_pose(const aiAnimation* anim, float tick, std::vector<aiMatrix4x4>& world,
                                 std::vector<aiMatrix4x4>& locals, std::vector<osg::Vec3f>& bones) const {
    world.resize(_rest_transforms.size());
    locals = _rest_transforms;
    _build_local_transforms(anim, tick, locals);
    _build_world_transforms(locals, world);
    _build_bones(world, bones);
}

void AnimationManager::get_pose(int clip, float time, std::vector<aiMatrix4x4>& world, bool loop,
                                std::vector<osg::Vec3f>& bones) const {
    const aiAnimation* anim = _clip_animation(clip);
    std::vector<aiMatrix4x4> locals;
    _get_pose(anim, get_tick(anim, time, loop), world, locals, bones);
}

void AnimationManager::_blend(const std::vector<aiMatrix4x4>& a, const std::vector<aiMatrix4x4>& b, float w,
                              std::vector<aiMatrix4x4>& out) const {
    out.resize(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = i < b.size() ? blend_ai_matrices(a[i], b[i], w) : a[i];
}

void AnimationManager::get_blended_pose(int clip_a, float time_a, int clip_b, float time_b, float w,
                                        std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const {
    auto tick_of = [](const aiAnimation* anim, float time) {
        if (!anim) return 0.0f;
        const double duration = duration_of(anim);
        if (duration <= 0.0) return 0.0f;
        const float d = static_cast<float>(duration);
        float tick = clamp(static_cast<float>(std::fmod(time * rate_of(anim), duration)), 0.0f, d);
        if (tick == 0.0f && time > 0.0f) tick = d;
        return tick;
    };
    const aiAnimation* a = _clip_animation(clip_a);
    const aiAnimation* b = _clip_animation(clip_b);
    std::vector<aiMatrix4x4> locals_a = _rest_transforms, locals_b = _rest_transforms, locals;
    _build_local_transforms(a, tick_of(a, time_a), locals_a);
    _build_local_transforms(b, tick_of(b, time_b), locals_b);
    _blend(locals_a, locals_b, w, locals);
    world.resize(_rest_transforms.size());
    _build_world_transforms(locals, world);
    _build_bones(world, bones);
}

void AnimationManager::get_last_key_pose(int clip, std::vector<aiMatrix4x4>& world) const {
    const aiAnimation* anim = _clip_animation(clip);
    std::vector<aiMatrix4x4> locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, anim ? static_cast<float>(duration_of(anim)) : 0.0f, world, locals, bones);
}

aiMatrix4x4 AnimationManager::get_channel_matrix(const aiNodeAnim* channel, int key) {
    if (!channel) return aiMatrix4x4();
    const aiVectorKey* s = key_at(channel->mScalingKeys, channel->mNumScalingKeys, key);
    const aiQuatKey* r = key_at(channel->mRotationKeys, channel->mNumRotationKeys, key);
    const aiVectorKey* p = key_at(channel->mPositionKeys, channel->mNumPositionKeys, key);
    return aiMatrix4x4(s ? s->mValue : aiVector3D(1, 1, 1), r ? r->mValue : aiQuaternion(),
                       p ? p->mValue : aiVector3D(0, 0, 0));
}

void AnimationManager::set_channel_matrix(aiNodeAnim* channel, int key, const aiMatrix4x4& m) {
    if (!channel) return;
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    if (auto* s = const_cast<aiVectorKey*>(key_at(channel->mScalingKeys, channel->mNumScalingKeys, key))) s->mValue = scaling;
    if (auto* r = const_cast<aiQuatKey*>(key_at(channel->mRotationKeys, channel->mNumRotationKeys, key))) r->mValue = rotation;
    if (auto* p = const_cast<aiVectorKey*>(key_at(channel->mPositionKeys, channel->mNumPositionKeys, key)))
        p->mValue = position;
}

// ---------------------------------------------------------------------------------------------------
// Single-node and root sampling

osg::Matrixf AnimationManager::sample_animation(int node, int clip, float time, bool loop) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim || node < 0 || node >= _num_nodes) return osg::Matrixf::identity();
    const AnimationDescription& d = _clips[clip];
    const aiNodeAnim* ch = node < static_cast<int>(d.channels.size()) ? d.channels[node] : nullptr;
    if (!ch) return to_Matrixf(_rest_transforms[node]);

    const float tick = get_tick(anim, time, loop);
    const int frames = static_cast<int>(duration_of(anim)) + 1;
    const KeyPair kp = key_pair(tick, d.root_motion.empty() ? frames : static_cast<int>(d.root_motion.size()));

    aiVector3D rest_scaling, rest_position;
    aiQuaternion rest_rotation;
    if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0)
        _rest_transforms[node].Decompose(rest_scaling, rest_rotation, rest_position);
    const aiQuatKey* r0 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k0);
    const aiQuatKey* r1 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k1);
    const aiVectorKey* p0 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k0);
    const aiVectorKey* p1 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k1);
    const aiQuaternion a = r0 ? r0->mValue : rest_rotation, b = r1 ? r1->mValue : rest_rotation;
    const aiVector3D pa = p0 ? p0->mValue : rest_position, pb = p1 ? p1->mValue : rest_position;

    osg::Quat q;
    q.slerp(kp.f, osg::Quat(a.x, a.y, a.z, a.w), osg::Quat(b.x, b.y, b.z, b.w));
    const osg::Vec3f p = blend(osg::Vec3f(pa.x, pa.y, pa.z), osg::Vec3f(pb.x, pb.y, pb.z), kp.f);
    return rigid(q, p);
}

InstanceMatrices AnimationManager::_root_matrix_at(const AnimationDescription& d, float tick) const {
    const std::vector<RootMotionSample>& s = d.root_motion;
    if (s.empty() || d.root_keys.size() < s.size()) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const KeyPair kp = key_pair(tick, static_cast<int>(s.size()));
    const RootMotionSample& a = s[kp.k0];
    const RootMotionSample& b = s[kp.k1];
    osg::Quat q;
    q.slerp(kp.f, osg::Quat(a.rotation[0], a.rotation[1], a.rotation[2], a.rotation[3]),
            osg::Quat(b.rotation[0], b.rotation[1], b.rotation[2], b.rotation[3]));
    const osg::Vec3f p = blend(osg::Vec3f(a.position[0], a.position[1], a.position[2]),
                               osg::Vec3f(b.position[0], b.position[1], b.position[2]), kp.f);
    return {rigid(q, p), blend_matrices(d.root_keys[kp.k0], d.root_keys[kp.k1], kp.f)};
}

InstanceMatrices AnimationManager::get_root_matrix(int clip, float time, const osg::Vec3f& loop) const {
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const double rate = rate_of(anim), duration = duration_of(anim);
    float tick = static_cast<float>(static_cast<double>(time) * rate);
    if (duration <= 0.0) {
        tick = 0.0f;
    } else if (loop.x() > 0.0f) {
        tick = static_cast<float>(std::fmod(static_cast<double>(tick), duration));
        const float start = loop.y(), end = loop.z();
        const float length = static_cast<float>(duration / rate);
        if (start >= 0.0f && end >= 0.0f && time >= start && end > start && length > 0.0f)
            tick = static_cast<float>(
                (std::fmod(std::fmod(time, end - start) + start, length) / length) * duration);
    } else {
        tick = clamp(tick, 0.0f, static_cast<float>(duration));
    }
    return _root_matrix_at(_clips[clip], tick);
}

// ---------------------------------------------------------------------------------------------------
// Node queries on clips

aiMatrix4x4 AnimationManager::get_node_position(int clip, int node, float time) const {
    if (node < 0 || node >= _num_nodes) return aiMatrix4x4();
    const aiAnimation* anim = _clip_animation(clip);
    float tick = 0.0f;
    if (anim && duration_of(anim) > 0.0)
        tick = clamp(static_cast<float>(time * rate_of(anim)), 0.0f, static_cast<float>(duration_of(anim)));
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, tick, world, locals, bones);
    return world[node];
}

aiMatrix4x4 AnimationManager::get_node_position(int clip, const std::string& node_name, float time) const {
    int node = _find_node(node_name);
    if (node < 0) node = _find_node("root");
    return get_node_position(clip, node, time);
}

aiMatrix4x4 AnimationManager::get_last_node_position(int clip, int node) const {
    if (node < 0 || node >= _num_nodes) return aiMatrix4x4();
    std::vector<aiMatrix4x4> world;
    get_last_key_pose(clip, world);
    return world[node];
}

osg::Vec3f AnimationManager::get_node_movement_shift(int clip, int node) const {
    return get_translation(get_last_node_position(clip, node)) - get_translation(get_node_position(clip, node, 0.0f));
}

std::vector<osg::Vec3f> AnimationManager::get_movement(int clip) const {
    std::vector<osg::Vec3f> out;
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim) return out;
    const int n = static_cast<int>(duration_of(anim));
    const int r = std::max(static_cast<int>(rate_of(anim)), 1);
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        out.push_back(get_translation(get_node_position(clip, _root_node_id, static_cast<float>(i) / r)));
    return out;
}

void AnimationManager::get_instance_shift(int clip, float time, bool loop, osg::Matrixf& out) const {
    out.makeIdentity();
    const aiAnimation* anim = _clip_animation(clip);
    if (!anim || _root_node_id < 0 || _root_node_id >= _num_nodes) return;
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    _get_pose(anim, 0.0f, world, locals, bones);
    const osg::Vec3f start = get_translation(world[_root_node_id]);
    _get_pose(anim, get_tick(anim, time, loop), world, locals, bones);
    const osg::Vec3f now = get_translation(world[_root_node_id]);
    out.makeTranslate(now.x() - start.x(), 0.0f, now.z() - start.z());
}

void AnimationManager::build_node_trajectory(std::vector<osg::Vec3d>& out, int clip, const char* node_name) const {
    out.clear();
    const aiAnimation* anim = _clip_animation(clip);
    const int node = _find_node(node_name);
    if (!anim || node < 0 || node >= _num_nodes) return;
    const AnimationDescription& d = _clips[clip];
    if (node >= static_cast<int>(d.channels.size()) || !d.channels[node]) return;
    std::vector<aiMatrix4x4> world, locals;
    std::vector<osg::Vec3f> bones;
    const double duration = duration_of(anim);
    for (int i = 0; i < duration; ++i) {
        _get_pose(anim, static_cast<float>(i), world, locals, bones);
        const osg::Vec3f p = get_translation(world[node]);
        out.emplace_back(p.x(), p.y() + 10000.0, p.z());
    }
}

// ---------------------------------------------------------------------------------------------------
// Record evaluation

osg::Matrixf AnimationManager::get_bs_node_matrix(int node, float time, const ShaderBlendSpace2D& rec) const {
    osg::Matrixf m;
    if (node < 0 || node >= _num_nodes) return m;
    const float x = time - rec.start_time;
    const bool looping = rec.loop > 0.0f;
    float local = x;
    int c[4];
    for (int k = 0; k < 4; ++k) c[k] = clip_of(rec.samples[k].clip);
    auto d = [&](int k) { return static_cast<double>(get_animation_duration(c[k])); };
    auto phase_of = [&](float D) {
        if (!(D > 0.0f)) return 0.0f;
        return looping ? std::fmod(x, D) / D : clamp(x / D, 0.0f, 1.0f);
    };
    const double u = rec.weight_x, v = rec.weight_y;

    switch (rec.kind) {
    case BS_RECORD_CLIP:
        if (looping && rec.loop_start >= 0.0f && rec.loop_end >= 0.0f && time >= rec.start_time + rec.loop_start &&
            rec.loop_end > rec.loop_start)
            local = std::fmod(x, rec.loop_end - rec.loop_start) + rec.loop_start;
        m = sample_animation(node, c[0], local, looping);
        break;
    case BS_RECORD_1D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u);
        const float t = phase_of(D) * D;
        m = lerp(sample_animation(node, c[0], t, looping), sample_animation(node, c[1], t, looping), u);
        break;
    }
    case BS_RECORD_2D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float phase = phase_of(D);
        osg::Matrixf s[4];
        for (int k = 0; k < 4; ++k) s[k] = sample_animation(node, c[k], phase * static_cast<float>(d(k)), looping);
        m = lerp(lerp(s[0], s[1], u), lerp(s[2], s[3], u), v);
        break;
    }
    default:
        return m;
    }

    if (rec.override_clip == -1.0f) return m;
    const int o = clip_of(rec.override_clip);
    const OverrideAnimation* ov = find_override_by_clip(o);
    if (ov && node < static_cast<int>(ov->weights.size()) && ov->weights[node] > 0.0f)
        m = sample_animation(node, o, rec.kind == BS_RECORD_CLIP ? local : x, looping);
    return m;
}

osg::Matrixf AnimationManager::blend_stack_items(int node, float time, const ShaderBlendSpace2D& previous,
                                                 const ShaderBlendSpace2D& next) const {
    const float b = next.blend_duration;
    if (b > 0.0f) {
        const float w = clamp((time - next.blend_start) / b, 0.0f, 1.0f);
        if (w < 1.0f)
            return lerp(get_bs_node_matrix(node, time, previous), get_bs_node_matrix(node, time, next), w);
        return get_bs_node_matrix(node, time, next);
    }
    return get_bs_node_matrix(node, time, next.blend_start > time ? previous : next);
}

osg::Matrixf AnimationManager::get_node_matrix(int node, float time, CharacterModelCookie* cookie) const {
    if (!cookie || cookie->get_stack_size() <= 0) return osg::Matrixf::identity();
    return get_bs_node_matrix(node, time, cookie->get_current_blend_space(time));
}

osg::Matrixf AnimationManager::get_blended_root(float time, CharacterModelCookie* cookie) const {
    return get_node_matrix(_root_node_id, time, cookie);
}

osg::Matrixf AnimationManager::get_node_world_pos(CharacterModelCookie* cookie, const std::string& node_name,
                                                  float time) {
    const int node = _find_node(node_name);
    if (node < 0 || node >= static_cast<int>(_node_paths.size())) {
        std::lock_guard<std::mutex> lock(_report_lock);
        if (_reported_nodes.insert(node_name).second)
            log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", node_name.c_str());
        return osg::Matrixf::identity();
    }
    if (!cookie || cookie->get_stack_size() <= 0) return osg::Matrixf::identity();
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    osg::Matrixf m = get_bs_node_matrix(node, time, rec);
    const std::vector<uint32_t>& path = _node_paths[node];
    for (size_t j = 1; j < path.size(); ++j) m = m * get_bs_node_matrix(static_cast<int>(path[j]), time, rec);
    return m;
}

InstanceMatrices AnimationManager::_get_instance_matrix(float time, const ShaderBlendSpace2D& rec) const {
    const float x = time - rec.start_time;
    const osg::Vec3f loop(rec.loop, rec.loop_start, rec.loop_end);
    const float u = rec.weight_x, v = rec.weight_y;
    int c[4];
    for (int k = 0; k < 4; ++k) c[k] = clip_of(rec.samples[k].clip);
    auto d = [&](int k) { return static_cast<double>(get_animation_duration(c[k])); };
    auto cyclic = [&](float D) { return D > 0.0f ? std::fmod(x, D) / D : 0.0f; };
    auto mix = [](const InstanceMatrices& a, const InstanceMatrices& b, float w) {
        return InstanceMatrices{blend_matrices(std::get<0>(a), std::get<0>(b), w),
                                blend_matrices(std::get<1>(a), std::get<1>(b), w)};
    };

    switch (rec.kind) {
    case BS_RECORD_CLIP:
        return get_root_matrix(c[0], x, loop);
    case BS_RECORD_1D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u);
        const float phase = cyclic(D);
        return mix(get_root_matrix(c[0], phase * static_cast<float>(d(0)), loop),
                   get_root_matrix(c[1], phase * static_cast<float>(d(1)), loop), u);
    }
    case BS_RECORD_2D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float phase = cyclic(D);
        InstanceMatrices a[4];
        for (int k = 0; k < 4; ++k) a[k] = get_root_matrix(c[k], phase * static_cast<float>(d(k)), loop);
        return mix(mix(a[0], a[1], u), mix(a[2], a[3], u), v);
    }
    default:
        return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    }
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, CharacterModelCookie* cookie) const {
    if (!cookie || cookie->get_stack_size() <= 0) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    const osg::Vec2f window = cookie->get_timeline_window();
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();
    return _get_instance_matrix(time, cookie->get_current_blend_space(time));
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, int instance_id, const osg::Vec2f& window,
                                                       CharacterModelStatic* model) const {
    const InstanceMatrices none{osg::Matrixf::identity(), osg::Matrixf::identity()};
    if (!model || instance_id < 0) return none;
    const std::vector<InstanceData>& data = model->get_per_instance_data();
    if (instance_id >= static_cast<int>(data.size())) return none;
    const InstanceData& inst = data[instance_id];
    const int size = std::min(inst.stack_size, MAX_ANIMATIONS_STACK_SIZE);
    if (size <= 0) return none;
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();

    // The record in effect: the newest entry that has started, the bottom one before any start.
    auto record = [&](int i) -> const ShaderBlendSpace2D* {
        try {
            return &model->get_record(inst.stack[i]);
        } catch (const std::out_of_range&) {
            return nullptr;
        }
    };
    const ShaderBlendSpace2D* bottom = record(0);
    if (!bottom) return none;
    const ShaderBlendSpace2D* current = bottom;
    if (bottom->start_time < time) {
        for (int i = 0; i < size; ++i) {
            const ShaderBlendSpace2D* r = record(i);
            if (!r) continue;
            const ShaderBlendSpace2D* above = i + 1 < size ? record(i + 1) : nullptr;
            if (time >= r->start_time && (i + 1 == size || !above || above->start_time > time)) {
                current = r;
                break;
            }
        }
    }
    return _get_instance_matrix(time, *current);
}

}  // namespace Animator
