// Evaluation of a character's sample records: node matrices, model transforms and instance matrices.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManagerDetail.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

using detail::blend_scaled;

namespace {

// Clip index held as a float in a sample record; -1 for anything that is not a whole index.
int clip_of(float v) { return v >= 0.0f && v < 65535.0f ? static_cast<int>(v) : -1; }

}  // namespace

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
        m = blend_scaled(sample_animation(node, c[0], t, looping), sample_animation(node, c[1], t, looping), u);
        break;
    }
    case BS_RECORD_2D: {
        const float D = static_cast<float>(d(0) * (1.0 - u) + d(1) * u) * static_cast<float>(1.0 - v) +
                        static_cast<float>(d(2) * (1.0 - u) + d(3) * u) * static_cast<float>(v);
        const float phase = phase_of(D);
        osg::Matrixf s[4];
        for (int k = 0; k < 4; ++k) s[k] = sample_animation(node, c[k], phase * static_cast<float>(d(k)), looping);
        m = blend_scaled(blend_scaled(s[0], s[1], u), blend_scaled(s[2], s[3], u), v);
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
            return blend_scaled(get_bs_node_matrix(node, time, previous), get_bs_node_matrix(node, time, next), w);
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

bool AnimationManager::get_model_transforms(float time, CharacterModelCookie* cookie, osg::Matrixf* out) const {
    if (!cookie || !out || cookie->get_stack_size() <= 0) return false;
    const osg::Vec2f window = cookie->get_timeline_window();
    if (window.y() > 0.0f) time = std::fmod(time - window.x(), window.y()) + window.x();
    const int slot = cookie->get_current_slot(time);
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    const ShaderBlendSpace2D* below = nullptr;
    if (slot > 0) below = &cookie->get_model()->get_record(cookie->get_instance_data().stack[slot - 1]);
    for (int node = 0; node < _num_nodes; ++node) {
        out[node] = below ? blend_stack_items(node, time, *below, rec) : get_bs_node_matrix(node, time, rec);
        // Parents come before their children in node id order, so the parent's matrix is final here.
        const std::vector<uint32_t>& path = _node_paths[node];
        if (path.size() > 1 && path[1] < static_cast<uint32_t>(node)) out[node] = out[node] * out[path[1]];
    }
    return true;
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
