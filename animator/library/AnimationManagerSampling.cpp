// Pose sampling of clips: ticks, whole poses, single nodes, root motion and node queries on clips.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/MathUtils.h"

namespace Animator {

using detail::blend_scaled;

namespace {

double rate_of(const aiAnimation* anim) { return ClipRuntime::rate_of(anim); }
double duration_of(const aiAnimation* anim) { return ClipRuntime::duration_of(anim); }

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Ticks and poses

float AnimationManager::get_tick(const aiAnimation* anim, float time, bool loop) const {
    return anim ? ClipRuntime::tick_at(rate_of(anim), duration_of(anim), time, loop) : 0.0f;
}

void AnimationManager::_build_bones(const std::vector<aiMatrix4x4>& world, std::vector<osg::Vec3f>& bones) const {
    const size_t n = std::min(world.size(), _node_paths.size());
    bones.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const std::vector<uint32_t>& path = _node_paths[i];
        const size_t q = path.size() > 1 ? path[1] : i;
        bones[2 * i].set(world[q].a4, world[q].b4, world[q].c4);
        bones[2 * i + 1].set(world[i].a4, world[i].b4, world[i].c4);
    }
}

void AnimationManager::get_pose(int clip, float time, std::vector<aiMatrix4x4>& world, bool loop,
                                std::vector<osg::Vec3f>& bones) const {
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    world.resize(static_cast<size_t>(_runtime.num_nodes()));
    _runtime.world_at_time(c, c ? ClipRuntime::tick_of(*c, time, loop) : 0.0f, world.data());
    _build_bones(world, bones);
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
    const ClipRuntime::Clip* a = _runtime.clip(clip_a);
    const ClipRuntime::Clip* b = _runtime.clip(clip_b);
    const float tick_a = tick_of(a ? a->animation : nullptr, time_a), tick_b = tick_of(b ? b->animation : nullptr, time_b);
    const std::vector<int>& parents = _runtime.parents();
    world.resize(parents.size());
    for (size_t i = 0; i < parents.size(); ++i) {
        const int node = static_cast<int>(i);
        const aiMatrix4x4 local =
            blend_scaled(_runtime.local_at_time(node, a, tick_a), _runtime.local_at_time(node, b, tick_b), w);
        world[i] = parents[i] >= 0 ? world[parents[i]] * local : local;
    }
    _build_bones(world, bones);
}

void AnimationManager::get_last_key_pose(int clip, std::vector<aiMatrix4x4>& world) const {
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    world.resize(static_cast<size_t>(_runtime.num_nodes()));
    _runtime.world_at_time(c, c ? static_cast<float>(c->duration) : 0.0f, world.data());
}

aiMatrix4x4 AnimationManager::get_channel_matrix(const aiNodeAnim* channel, int key) {
    if (!channel) return aiMatrix4x4();
    const aiVectorKey* s = ClipRuntime::key_at(channel->mScalingKeys, channel->mNumScalingKeys, key);
    const aiQuatKey* r = ClipRuntime::key_at(channel->mRotationKeys, channel->mNumRotationKeys, key);
    const aiVectorKey* p = ClipRuntime::key_at(channel->mPositionKeys, channel->mNumPositionKeys, key);
    return aiMatrix4x4(s ? s->mValue : aiVector3D(1, 1, 1), r ? r->mValue : aiQuaternion(),
                       p ? p->mValue : aiVector3D(0, 0, 0));
}

void AnimationManager::set_channel_matrix(aiNodeAnim* channel, int key, const aiMatrix4x4& m) {
    if (!channel) return;
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    if (auto* s = const_cast<aiVectorKey*>(ClipRuntime::key_at(channel->mScalingKeys, channel->mNumScalingKeys, key))) s->mValue = scaling;
    if (auto* r = const_cast<aiQuatKey*>(ClipRuntime::key_at(channel->mRotationKeys, channel->mNumRotationKeys, key))) r->mValue = rotation;
    if (auto* p = const_cast<aiVectorKey*>(ClipRuntime::key_at(channel->mPositionKeys, channel->mNumPositionKeys, key)))
        p->mValue = position;
}

// ---------------------------------------------------------------------------------------------------
// Single-node and root sampling

osg::Matrixf AnimationManager::sample_animation(int node, int clip, float time, bool loop) const {
    return _runtime.sample_matrix(node, clip, time, loop);
}

InstanceMatrices AnimationManager::get_root_matrix(int clip, float time, const osg::Vec3f& loop) const {
    ClipRuntime::Transform motion, root;
    _runtime.clip_root(clip, time, loop.x(), loop.y(), loop.z(), motion, root);
    return {ClipRuntime::matrix_of(motion), ClipRuntime::matrix_of(root)};
}

// ---------------------------------------------------------------------------------------------------
// Node queries on clips

aiMatrix4x4 AnimationManager::get_node_position(int clip, int node, float time) const {
    if (node < 0 || node >= _runtime.num_nodes()) return aiMatrix4x4();
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    float tick = 0.0f;
    if (c && c->animation && c->duration > 0.0)
        tick = clamp(static_cast<float>(time * c->rate), 0.0f, static_cast<float>(c->duration));
    return _runtime.node_world_at_time(node, c, tick);
}

aiMatrix4x4 AnimationManager::get_node_position(int clip, const std::string& node_name, float time) const {
    int node = _runtime.node_id(node_name);
    if (node < 0) node = _runtime.node_id("root");
    return get_node_position(clip, node, time);
}

aiMatrix4x4 AnimationManager::get_last_node_position(int clip, int node) const {
    if (node < 0 || node >= _runtime.num_nodes()) return aiMatrix4x4();
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    return _runtime.node_world_at_time(node, c, c ? static_cast<float>(c->duration) : 0.0f);
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
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    if (!c || !c->animation || _root_node_id < 0 || _root_node_id >= _runtime.num_nodes()) return;
    const osg::Vec3f start = get_translation(_runtime.node_world_at_time(_root_node_id, c, 0.0f));
    const osg::Vec3f now =
        get_translation(_runtime.node_world_at_time(_root_node_id, c, ClipRuntime::tick_of(*c, time, loop)));
    out.makeTranslate(now.x() - start.x(), 0.0f, now.z() - start.z());
}

void AnimationManager::build_node_trajectory(std::vector<osg::Vec3d>& out, int clip, const char* node_name) const {
    out.clear();
    const ClipRuntime::Clip* c = _runtime.clip(clip);
    const int node = node_name ? _runtime.node_id(node_name) : -1;
    if (!c || !c->animation || node < 0 || !c->channels[node]) return;
    for (int i = 0; i < c->duration; ++i) {
        const osg::Vec3f p = get_translation(_runtime.node_world_at_time(node, c, static_cast<float>(i)));
        out.emplace_back(p.x(), p.y() + 10000.0, p.z());
    }
}

}  // namespace Animator
