// Evaluation of a character's sample records: node matrices, model transforms and instance matrices.
#include "animator/library/AnimationManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

// True when a record asked for at a time is the one kept (of a build of the same generation).
bool same_key(uint64_t generation, float time, const ShaderBlendSpace2D& rec, uint64_t kept_generation,
              float kept_time, const void* kept_record) {
    return generation == kept_generation && std::memcmp(&time, &kept_time, sizeof(time)) == 0 &&
           std::memcmp(&rec, kept_record, sizeof(rec)) == 0;
}

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
        if (same_key(runtime.generation(), time, rec, e.generation, e.time, &e.record)) return e.timing;
    TimingCache::Entry& e = cache.entries[cache.next];
    cache.next ^= 1;
    e.generation = runtime.generation();
    e.time = time;
    e.record = rec;
    e.timing = runtime.timing(rec, time);
    return e.timing;
}

// The local matrices of every node under the last record of which this thread asked for a second node
// at one time: a caller that walks a whole character pays for one whole-character blend (four nodes
// at a time) rather than one blend a node, and a caller of one node a record pays nothing more. Plain
// data, so that a thread's first use constructs nothing.
struct PoseCache {
    static const int CAPACITY = 256;  // larger skeletons go one node at a time
    uint64_t generation;              // 0 (no build's) until a record is kept
    float time;
    unsigned char record[sizeof(ShaderBlendSpace2D)];
    int first_node;  // the node asked for first; -1 once every node is here
    float locals[CAPACITY][16];
};

// Local matrices of nodes [0, n) under the record `rec` (timing `now`), across its cross-fade from the
// record below where that one's timing is given, each handed to put(node, matrix); a chunk of nodes
// at a time, with no allocation.
template <class Put>
void locals_of(const ClipRuntime& runtime, const ClipRuntime::RecordTiming& now, const ClipRuntime::RecordTiming* below,
               const ShaderBlendSpace2D& rec, float time, Put put) {
    const int CHUNK = 32;
    int ids[CHUNK];
    ClipRuntime::NodeSample next[CHUNK], previous[CHUNK];
    const int n = runtime.num_nodes();
    for (int first = 0; first < n; first += CHUNK) {
        const int count = std::min(CHUNK, n - first);
        for (int i = 0; i < count; ++i) ids[i] = first + i;
        runtime.record_nodes(now, ids, count, next);
        if (below) {
            runtime.record_nodes(*below, ids, count, previous);
            for (int i = 0; i < count; ++i) next[i] = runtime.crossfade(previous[i], next[i], rec, time);
        }
        for (int i = 0; i < count; ++i) put(first + i, runtime.to_matrix(first + i, next[i]));
    }
}

// The time folded into an idle-timeline window (start, length) that has a length.
float fold_into(const osg::Vec2f& window, float time) {
    return window.y() > 0.0f ? std::fmod(time - window.x(), window.y()) + window.x() : time;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Record evaluation

osg::Matrixf AnimationManager::get_bs_node_matrix(int node, float time, const ShaderBlendSpace2D& rec) const {
    const int n = _runtime.num_nodes();
    if (node < 0 || node >= n) return osg::Matrixf::identity();
    if (n <= PoseCache::CAPACITY) {
        thread_local PoseCache pose;
        if (same_key(_runtime.generation(), time, rec, pose.generation, pose.time, pose.record)) {
            if (pose.first_node < 0) return osg::Matrixf(pose.locals[node]);
            if (pose.first_node != node) {
                auto keep = [&](int i, const osg::Matrixf& m) {
                    std::memcpy(pose.locals[i], m.ptr(), sizeof(pose.locals[i]));
                };
                locals_of(_runtime, timing_of(_runtime, rec, time), nullptr, rec, time, keep);
                pose.first_node = -1;
                return osg::Matrixf(pose.locals[node]);
            }
        } else {
            pose.generation = _runtime.generation();
            pose.time = time;
            std::memcpy(pose.record, &rec, sizeof(rec));
            pose.first_node = node;
        }
    }
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
    // The record below only while it still shows.
    const ShaderBlendSpace2D* below = nullptr;
    if (slot > 0 && ClipRuntime::previous_shows(rec, time))
        below = cookie->get_model()->find_record(cookie->get_instance_data().stack[slot - 1]);
    const ClipRuntime::RecordTiming now = _runtime.timing(rec, time);
    const ClipRuntime::RecordTiming previous = below ? _runtime.timing(*below, time) : ClipRuntime::RecordTiming();
    locals_of(_runtime, now, below ? &previous : nullptr, rec, time, [&](int i, const osg::Matrixf& m) { out[i] = m; });
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
