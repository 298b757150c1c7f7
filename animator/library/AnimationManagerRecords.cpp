// Evaluation of a character's sample records: node matrices, model transforms and instance matrices.
#include "animator/library/AnimationManager.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

// The timings of the last two records evaluated on this thread: a caller that asks for every node of
// a character under one record (or across one cross-fade) pays for the records' timing once.
struct TimingCache {
    struct Entry {
        uint64_t generation = 0;
        float time = 0.0f;
        ShaderBlendSpace2D record;
        ClipRuntime::RecordTiming timing;
    };
    Entry entries[2];
    int next = 0;
};

const ClipRuntime::RecordTiming& timing_of(const ClipRuntime& runtime, const ShaderBlendSpace2D& rec, float time) {
    thread_local TimingCache cache;
    for (TimingCache::Entry& e : cache.entries)
        if (e.generation == runtime.generation() && std::memcmp(&e.time, &time, sizeof(time)) == 0 &&
            std::memcmp(&e.record, &rec, sizeof(rec)) == 0)
            return e.timing;
    TimingCache::Entry& e = cache.entries[cache.next];
    cache.next ^= 1;
    e.generation = runtime.generation();
    e.time = time;
    e.record = rec;
    e.timing = runtime.timing(rec, time);
    return e.timing;
}

// The time folded into an idle-timeline window (start, length) that has a length.
float fold_into(const osg::Vec2f& window, float time) {
    return window.y() > 0.0f ? std::fmod(time - window.x(), window.y()) + window.x() : time;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Record evaluation

osg::Matrixf AnimationManager::get_bs_node_matrix(int node, float time, const ShaderBlendSpace2D& rec) const {
    if (node < 0 || node >= _runtime.num_nodes()) return osg::Matrixf::identity();
    return _runtime.to_matrix(node, _runtime.record_node(node, timing_of(_runtime, rec, time)));
}

osg::Matrixf AnimationManager::blend_stack_items(int node, float time, const ShaderBlendSpace2D& previous,
                                                 const ShaderBlendSpace2D& next) const {
    if (node < 0 || node >= _runtime.num_nodes()) return osg::Matrixf::identity();
    const ClipRuntime::RecordTiming before = timing_of(_runtime, previous, time);
    const ClipRuntime::RecordTiming& after = timing_of(_runtime, next, time);
    return _runtime.to_matrix(node, _runtime.crossfade_node(node, before, after, next, time));
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
    const int node = _runtime.node_id(node_name);
    if (node < 0) {
        std::lock_guard<std::mutex> lock(_report_lock);
        if (_reported_nodes.insert(node_name).second)
            log_message(LOG_TAG, LOG_ERROR, "node '%s' not found in skeleton", node_name.c_str());
        return osg::Matrixf::identity();
    }
    if (!cookie || cookie->get_stack_size() <= 0) return osg::Matrixf::identity();
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    return _runtime.record_node_in_model(node, _runtime.timing(rec, time));
}

bool AnimationManager::get_model_transforms(float time, CharacterModelCookie* cookie, osg::Matrixf* out) const {
    if (!cookie || !out || cookie->get_stack_size() <= 0) return false;
    time = fold_into(cookie->get_timeline_window(), time);
    const int slot = cookie->get_current_slot(time);
    const ShaderBlendSpace2D& rec = cookie->get_current_blend_space(time);
    const ShaderBlendSpace2D* below =
        slot > 0 ? cookie->get_model()->find_record(cookie->get_instance_data().stack[slot - 1]) : nullptr;
    const ClipRuntime::RecordTiming now = _runtime.timing(rec, time);
    const int n = _runtime.num_nodes();
    if (below) {
        const ClipRuntime::RecordTiming previous = _runtime.timing(*below, time);
        for (int node = 0; node < n; ++node)
            out[node] = _runtime.to_matrix(node, _runtime.crossfade_node(node, previous, now, rec, time));
    } else {
        for (int node = 0; node < n; ++node) out[node] = _runtime.to_matrix(node, _runtime.record_node(node, now));
    }
    _runtime.chain_to_model(out);
    return true;
}

InstanceMatrices AnimationManager::_get_instance_matrix(float time, const ShaderBlendSpace2D& rec) const {
    InstanceMatrices out;
    _runtime.record_root(_runtime.timing(rec, time, false), rec, std::get<0>(out), std::get<1>(out));
    return out;
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, CharacterModelCookie* cookie) const {
    if (!cookie || cookie->get_stack_size() <= 0) return {osg::Matrixf::identity(), osg::Matrixf::identity()};
    time = fold_into(cookie->get_timeline_window(), time);
    return _get_instance_matrix(time, cookie->get_current_blend_space(time));
}

InstanceMatrices AnimationManager::get_instance_matrix(float time, int instance_id, const osg::Vec2f& window,
                                                       CharacterModelStatic* model) const {
    const InstanceMatrices none{osg::Matrixf::identity(), osg::Matrixf::identity()};
    if (!model || instance_id < 0) return none;
    const std::vector<InstanceData>& data = model->get_per_instance_data();
    if (instance_id >= static_cast<int>(data.size())) return none;
    const InstanceData& inst = data[instance_id];
    time = fold_into(window, time);
    const int slot = CharacterModelCookie::slot_at(*model, inst, time);
    if (slot < 0) return none;
    return _get_instance_matrix(time, *model->find_record(inst.stack[slot]));
}

}  // namespace Animator
