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

// True when a record asked for at a time is the one kept (of a build of the same generation): the
// same bits, compared a word at a time without a call (every node query asks this).
bool same_key(uint64_t generation, float time, const ShaderBlendSpace2D& rec, uint64_t kept_generation,
              float kept_time, const void* kept_record) {
    static_assert(sizeof(ShaderBlendSpace2D) % sizeof(uint64_t) == 0, "records compare a word at a time");
    uint32_t a, b;
    std::memcpy(&a, &time, sizeof(a));
    std::memcpy(&b, &kept_time, sizeof(b));
    if (generation != kept_generation || a != b) return false;
    const unsigned char* x = reinterpret_cast<const unsigned char*>(&rec);
    const unsigned char* y = static_cast<const unsigned char*>(kept_record);
    uint64_t differ = 0;
    for (size_t i = 0; i < sizeof(rec); i += sizeof(uint64_t)) {
        uint64_t u, v;
        std::memcpy(&u, x + i, sizeof(u));
        std::memcpy(&v, y + i, sizeof(v));
        differ |= u ^ v;
    }
    return differ == 0;
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

// A kept matrix as osg's: copied through a local, which the copy into the caller's cannot overlap (so
// it takes a few vector moves rather than a call).
osg::Matrixf kept_matrix(const float (&kept)[16]) {
    float m[16];
    std::memcpy(m, kept, sizeof(m));
    return osg::Matrixf(m);
}

// Local matrices of every node across the cross-fade from the record below (timing `below`) to the
// record `rec` (timing `now`) into out: a chunk of nodes at a time, with no allocation.
void locals_of(const ClipRuntime& runtime, const ClipRuntime::RecordTiming& now, const ClipRuntime::RecordTiming& below,
               const ShaderBlendSpace2D& rec, float time, osg::Matrixf* out) {
    const int CHUNK = 32;
    int ids[CHUNK];
    ClipRuntime::NodeSample next[CHUNK], previous[CHUNK];
    const int n = runtime.num_nodes();
    for (int first = 0; first < n; first += CHUNK) {
        const int count = std::min(CHUNK, n - first);
        for (int i = 0; i < count; ++i) ids[i] = first + i;
        runtime.record_nodes(now, ids, count, next);
        runtime.record_nodes(below, ids, count, previous);
        for (int i = 0; i < count; ++i)
            out[first + i] = runtime.to_matrix(first + i, runtime.crossfade(previous[i], next[i], rec, time));
    }
}

PoseCache& pose_cache() {
    thread_local PoseCache pose;
    return pose;
}

// A node's local matrix under a record where the pose kept is not the record's whole: the node alone
// for the first node asked for (and for every node of a skeleton too large to keep), the whole pose
// kept for a second one. Apart, so that the path of a pose kept stays short.
__attribute__((noinline)) osg::Matrixf node_matrix(const ClipRuntime& runtime, int node, float time,
                                                   const ShaderBlendSpace2D& rec) {
    if (runtime.num_nodes() > PoseCache::CAPACITY)
        return runtime.to_matrix(node, runtime.record_node(node, timing_of(runtime, rec, time)));
    PoseCache& pose = pose_cache();
    if (!same_key(runtime.generation(), time, rec, pose.generation, pose.time, pose.record)) {
        pose.generation = runtime.generation();
        pose.time = time;
        std::memcpy(pose.record, &rec, sizeof(rec));
        pose.first_node = node;
    } else if (pose.first_node >= 0 && pose.first_node != node) {
        runtime.record_matrices(timing_of(runtime, rec, time), pose.locals);
        pose.first_node = -1;
    }
    if (pose.first_node < 0) return kept_matrix(pose.locals[node]);
    return runtime.to_matrix(node, runtime.record_node(node, timing_of(runtime, rec, time)));
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
        const PoseCache& pose = pose_cache();
        if (pose.first_node < 0 && same_key(_runtime.generation(), time, rec, pose.generation, pose.time, pose.record))
            return kept_matrix(pose.locals[node]);
    }
    return node_matrix(_runtime, node, time, rec);
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
    if (below)
        locals_of(_runtime, now, previous, rec, time, out);
    else
        _runtime.record_matrices(now, out);
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
