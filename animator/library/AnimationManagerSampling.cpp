// Pose sampling of clips: ticks, whole poses, single nodes, root motion and node queries on clips.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/MathUtils.h"

namespace Animator {

using detail::blend_scaled;
using detail::mix;

namespace {

double rate_of(const aiAnimation* anim) {
    return anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond : DEFAULT_TICKS_PER_SECOND;
}
double duration_of(const aiAnimation* anim) {
    return std::isfinite(anim->mDuration) && anim->mDuration > 0.0 ? anim->mDuration : 0.0;
}


// A key track at tick t by key time, as assimp interpolates it: held before the first key and after the
// last, the bracketing pair found from the whole part of t (the pair itself for one key per tick, a
// step or two away otherwise); at t = n - 1 exactly the last key. `rest` for an empty track.
template <class Key, class Value>
Value sample_track(const Key* keys, unsigned n, double t, const Value& rest) {
    if (n == 0 || !keys) return rest;
    if (n == 1 || keys[0].mTime > t) return keys[0].mValue;
    if (t > keys[n - 1].mTime || t == static_cast<double>(n - 1)) return keys[n - 1].mValue;
    const double whole = std::floor(t);
    unsigned i = whole <= 0.0 ? 0u : static_cast<unsigned>(std::min(whole, static_cast<double>(n - 2)));
    while (i > 0 && keys[i].mTime > t) --i;
    while (i + 2 < n && keys[i + 1].mTime <= t) ++i;
    const double span = keys[i + 1].mTime - keys[i].mTime;
    float f = span > 0.0 ? static_cast<float>((t - keys[i].mTime) / span) : 0.0f;
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

// Uniform scale s, then rotation q, then translation p (row-vector form).
osg::Matrixf scaled_rigid(float s, const osg::Quat& q, const osg::Vec3f& p) {
    const osg::Matrixf m = rigid(q, p);
    return s == 1.0f ? m : osg::Matrixf::scale(s, s, s) * m;
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
    // A node animated by several channels follows the first of them, as everywhere else.
    std::vector<bool> done(locals.size(), false);
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        if (!ch) continue;
        const int id = _find_node(ch->mNodeName.C_Str());
        if (id < 0 || id >= static_cast<int>(locals.size()) || done[id]) continue;
        done[id] = true;
        aiVector3D rest_scaling(1, 1, 1), rest_position;
        aiQuaternion rest_rotation;
        if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0 || ch->mNumScalingKeys == 0)
            locals[id].Decompose(rest_scaling, rest_rotation, rest_position);
        const aiVector3D p = sample_track(ch->mPositionKeys, ch->mNumPositionKeys, tick, rest_position);
        const aiQuaternion q = sample_track(ch->mRotationKeys, ch->mNumRotationKeys, tick, rest_rotation);
        const aiVector3D s = sample_track(ch->mScalingKeys, ch->mNumScalingKeys, tick, rest_scaling);
        aiMatrix4x4 m(q.GetMatrix());
        for (int r = 0; r < 3; ++r) m[r][0] *= s.x, m[r][1] *= s.y, m[r][2] *= s.z;
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
    for (size_t i = 0; i < a.size(); ++i) out[i] = i < b.size() ? blend_scaled(a[i], b[i], w) : a[i];
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

    // Key k of every track at tick k (a track read at min(k, its key count - 1)), over the clip's frames.
    const float tick = get_tick(anim, time, loop);
    const double frames = std::min(std::floor(duration_of(anim)) + 1.0, 2147483647.0);
    const KeyPair kp = key_pair(tick, static_cast<int>(frames));

    aiVector3D rest_scaling(1, 1, 1), rest_position;
    aiQuaternion rest_rotation;
    if (ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0 || ch->mNumScalingKeys == 0)
        _rest_transforms[node].Decompose(rest_scaling, rest_rotation, rest_position);
    const aiQuatKey* r0 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k0);
    const aiQuatKey* r1 = key_at(ch->mRotationKeys, ch->mNumRotationKeys, kp.k1);
    const aiVectorKey* p0 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k0);
    const aiVectorKey* p1 = key_at(ch->mPositionKeys, ch->mNumPositionKeys, kp.k1);
    const aiVectorKey* s0 = key_at(ch->mScalingKeys, ch->mNumScalingKeys, kp.k0);
    const aiVectorKey* s1 = key_at(ch->mScalingKeys, ch->mNumScalingKeys, kp.k1);
    const aiQuaternion a = r0 ? r0->mValue : rest_rotation, b = r1 ? r1->mValue : rest_rotation;
    const aiVector3D pa = p0 ? p0->mValue : rest_position, pb = p1 ? p1->mValue : rest_position;
    const float sa = s0 ? s0->mValue.x : rest_scaling.x, sb = s1 ? s1->mValue.x : rest_scaling.x;

    osg::Quat q;
    q.slerp(kp.f, osg::Quat(a.x, a.y, a.z, a.w), osg::Quat(b.x, b.y, b.z, b.w));
    const osg::Vec3f p = blend(osg::Vec3f(pa.x, pa.y, pa.z), osg::Vec3f(pb.x, pb.y, pb.z), kp.f);
    const float scale = sa == sb ? sa : static_cast<float>(1.0 - static_cast<double>(kp.f)) * sa + kp.f * sb;
    return scaled_rigid(scale, q, p);
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

}  // namespace Animator
