// The library's clips in the immutable form that every pose query reads, built once at load from the
// mended keys: per clip, node and whole tick one rotation, translation and uniform scale (the very
// frames the GPU compute pass reads, and the same again eight nodes side by side for whole-character
// blends), the root motion as rotation and position pairs, and the node table. Queries sample key
// pairs by index, blend in quaternion space and chain parent-first, with no allocation and no lock.
//
// How the queries read keys:
//   by index (key k at tick k, a track read at min(k, its key count - 1)):
//     sample_animation, get_bs_node_matrix, blend_stack_items, get_node_matrix, get_node_world_pos,
//     get_model_transforms, the instance matrices (root-motion samples) and the GPU frames;
//   by key time (assimp's rule, held before the first key and after the last):
//     get_pose, get_blended_pose, get_last_key_pose, get_node_position and the queries built on it
//     (get_last_node_position, get_node_movement_shift, get_movement, get_instance_shift,
//     build_node_trajectory).
// Where every track of a clip holds key k at time k (every imported clip, once mended) the two agree
// and both read the frames; the tracks of other clips (clip descriptors: frame i at time i) are read
// by key time from the tracks themselves.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <assimp/anim.h>
#include <assimp/matrix4x4.h>
#include <osg/Matrixf>

#include "animator/blend/ShaderBlendSpace2D.h"

namespace Animator {

class AnimationManager;

class ClipRuntime {
public:
    // One node at one tick, as the GPU reads it.
    struct Frame {
        float rotation[4];     // x, y, z, w
        float translation[4];  // x, y, z, uniform scale
    };
    static_assert(sizeof(Frame) == 32, "GPU frame size");

    // Eight nodes' frames at one tick side by side, component after component (each component one
    // value a node): how whole-character blends read a clip, eight nodes with each load.
    struct alignas(32) LaneFrame {
        static const int LANES = 8;
        float rotation[4][LANES];  // x, y, z, w
        float position[4][LANES];  // translation x, y, z, uniform scale
    };

    // A local transform: uniform scale, then rotation, then translation.
    struct Transform {
        float rotation[4] = {0.0f, 0.0f, 0.0f, 1.0f};  // x, y, z, w
        float translation[3] = {0.0f, 0.0f, 0.0f};
        float scale = 1.0f;
    };

    // What a node's transform came from: no clip (identity), its rest transform, or keys.
    enum Source : uint8_t { FROM_NONE, FROM_REST, FROM_KEYS };
    struct NodeSample {
        Transform transform;
        Source source = FROM_NONE;
    };

    // The pair of frames around a tick and the factor between them; indices inside the clip.
    struct KeyPair {
        int k0 = 0, k1 = 0;
        float f = 0.0f;
    };

    struct Clip {
        const aiAnimation* animation = nullptr;
        uint32_t first = 0;          // index of the clip's first frame
        uint32_t lane_first = 0;     // index of the clip's first lane frame
        int32_t frames = 1;          // whole ticks + 1
        double rate = 0.0;           // ticks per second
        double duration = 0.0;       // ticks
        float seconds = 0.0f;        // duration in seconds
        bool keys_on_ticks = false;  // every track holds key k at time k (or a single key)
        std::vector<const aiNodeAnim*> channels;  // per node, the channel that animates it or null
        const float* override_weights = nullptr;  // per node, when an override plays this clip
        std::vector<uint64_t> keyed;              // a bit per node: the clip has a channel for it
        std::vector<uint64_t> overridden;         // a bit per node: an override playing the clip replaces it
        std::vector<Transform> root_motion;       // per root-motion sample: heading and travel
        std::vector<Transform> root_keys;         // per root-motion sample: the root as imported
    };

    // When the clips of a sample record are read at a time: computed once per record and time, and
    // shared by node evaluation and the instance matrices.
    struct RecordTiming {
        uint32_t kind = BS_RECORD_EMPTY;
        int samples = 0;  // clips in use: 1 (clip), 2 (1-D), 4 (2-D), 0 (any other kind: identity)
        bool looping = false;
        float weight_x = 0.0f, weight_y = 0.0f;
        float elapsed = 0.0f;  // time since the record's start
        int clips[4] = {-1, -1, -1, -1};
        float durations[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // seconds, 0 for no clip
        float node_times[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // when each clip gives node transforms
        float root_times[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // when each clip gives root motion
        KeyPair pairs[4];                                 // the frames of node_times
        int override_clip = -1;                           // -1: no override
        const float* override_weights = nullptr;
        KeyPair override_pair;
    };

    // Whole-character blends go eight nodes an instruction where the processor has AVX2, four
    // otherwise. The narrower way can be chosen on any processor, to compare the two (the tests and
    // benchmarks do); the wider only where the processor has it.
    static bool wide_lanes();
    static void set_wide_lanes(bool on);

    // Builds everything from the library's loaded skeleton, clips and overrides; `node_ids` maps the
    // library's interned node names to node ids.
    void build(const AnimationManager& manager, const std::unordered_map<const char*, int>& node_ids);
    // Takes the library's overrides again (loaded after the clips).
    void bind_overrides(const AnimationManager& manager);

    // Tells one build from any other (of any library), for what callers keep between calls.
    uint64_t generation() const { return _generation; }
    int num_nodes() const { return static_cast<int>(_parents.size()); }
    int num_clips() const { return static_cast<int>(_clips.size()); }
    // Node id of a name, -1 when it is not a node.
    int node_id(const std::string& name) const;
    // The clip of an index, or null.
    const Clip* clip(int index) const {
        return index >= 0 && index < static_cast<int>(_clips.size()) ? &_clips[index] : nullptr;
    }
    // Every clip's frames, clip after clip, node after node within a clip, tick after tick per node.
    const std::vector<Frame>& frames() const { return _frames; }
    // Per node its parent's id, -1 for a top node; parents come before their children.
    const std::vector<int>& parents() const { return _parents; }

    // A clip's rate (ticks per second; the default for a clip that gives none) and duration in ticks
    // (0 for none or one that is not a number).
    static double rate_of(const aiAnimation* animation);
    static double duration_of(const aiAnimation* animation);
    // The tick of a time in a clip of `duration` ticks at `rate`: looping by fmod, else clamped to the
    // clip; 0 for a clip without duration.
    static float tick_at(double rate, double duration, float time, bool loop);
    static float tick_of(const Clip& clip, float time, bool loop);

    // ---- by index (osg form)
    static KeyPair key_pair(float tick, int count);
    // A node's local transform from a clip's key pair (its rest transform without a channel).
    NodeSample sample(int node, const Clip& clip, const KeyPair& pair) const;
    osg::Matrixf sample_matrix(int node, int clip, float time, bool loop) const;
    // A sample of a node as a matrix: identity, the rest transform as it is, or the keys.
    osg::Matrixf to_matrix(int node, const NodeSample& sample) const;
    // Scale, rotation (normalised) and translation as one matrix.
    static osg::Matrixf matrix_of(const Transform& transform);

    // ---- sample records
    // The record's timing at a time; the frames of its node times (`pairs`, the override's) only with
    // `node_frames` (the instance matrices do without).
    RecordTiming timing(const ShaderBlendSpace2D& rec, float time, bool node_frames = true) const;
    // The node's local transform under a record (overrides applied).
    NodeSample record_node(int node, const RecordTiming& timing) const;
    // The same for `count` nodes (ids in `nodes`, any order) into out[0 .. count): the nodes that a
    // clip of the record keys are blended four at a time.
    void record_nodes(const RecordTiming& timing, const int* nodes, int count, NodeSample* out) const;
    // Every node's local matrix under a record (overrides applied) into out[0 .. num_nodes()), as
    // matrices or as their 16 floats: what to_matrix gives for each node of record_nodes, the keyed
    // nodes blended a lane group at a time from the lane frames (how whole characters go fast).
    void record_matrices(const RecordTiming& timing, osg::Matrixf* out) const;
    void record_matrices(const RecordTiming& timing, float (*out)[16]) const;
    // The node's model-space transform under a record: its local one chained through its ancestors'.
    osg::Matrixf record_node_in_model(int node, const RecordTiming& timing) const;
    // The same across a cross-fade from `previous` to `next` at `time` (next's blend start and duration).
    NodeSample crossfade_node(int node, const RecordTiming& previous, const RecordTiming& next,
                              const ShaderBlendSpace2D& next_record, float time) const;
    // True while the record below still shows at `time`: the next record fading in over it, or not yet
    // begun; crossfade answers `next` as it is otherwise.
    static bool previous_shows(const ShaderBlendSpace2D& next_record, float time);
    // A node's samples under the record below and the next record blended across the cross-fade.
    static NodeSample crossfade(const NodeSample& previous, const NodeSample& next,
                                const ShaderBlendSpace2D& next_record, float time);
    // Root motion of a record: (extracted heading and travel, the root as imported).
    void record_root(const RecordTiming& timing, const ShaderBlendSpace2D& rec, osg::Matrixf& motion,
                     osg::Matrixf& root) const;
    // Root motion of one clip at a time with the record loop (flag, start, end).
    void clip_root(int clip, float time, float loop, float loop_start, float loop_end, Transform& motion,
                   Transform& root) const;
    // Chains local matrices (node id order) into model space in place: child times parent.
    void chain_to_model(osg::Matrixf* matrices) const;

    // ---- by key time (assimp form)
    // One channel's local transform at a tick by key time; an empty track takes its part of `rest`.
    static aiMatrix4x4 channel_at_time(const aiNodeAnim* channel, float tick, const aiMatrix4x4& rest);
    // A node's local transform in a clip at a tick, read by key time; its rest transform without a
    // channel or without a clip.
    aiMatrix4x4 local_at_time(int node, const Clip* clip, float tick) const;
    // World transforms of every node (`world` holds num_nodes() entries) at a tick of a clip.
    void world_at_time(const Clip* clip, float tick, aiMatrix4x4* world) const;
    // The world transform of one node at a tick (only its path is evaluated).
    aiMatrix4x4 node_world_at_time(int node, const Clip* clip, float tick) const;
    const aiMatrix4x4& rest(int node) const { return _rest[node]; }

    // Key `k` of a track by index: min(k, count - 1), or null for an empty track.
    template <class Key>
    static const Key* key_at(const Key* keys, unsigned count, int k) {
        if (count == 0 || !keys) return nullptr;
        return &keys[k <= 0 ? 0u : (static_cast<unsigned>(k) < count ? static_cast<unsigned>(k) : count - 1)];
    }

private:
    struct LaneGroup {
        static const int SIZE = LaneFrame::LANES;
        int nodes[SIZE];
    };
    void _build_lane_frames();
    void _build_clip(const AnimationManager& manager, int index, Clip& clip);
    // The clip (null for none, or one without root motion) and the pair of its root-motion samples
    // around a time with the record loop (flag, start, end).
    const Clip* _root_pair(int clip, float time, float loop, float loop_start, float loop_end, KeyPair& pair) const;
    // record_nodes for a record of S samples (1: clip, 2: 1-D, 4: 2-D).
    template <int S>
    void _record_nodes(const RecordTiming& timing, const int* nodes, int count, NodeSample* out) const;
    // record_matrices into the 16 floats at(node); _samples_to_matrices for a record of S samples.
    template <class At>
    void _record_matrices(const RecordTiming& timing, At at) const;
    template <int S, class At>
    void _samples_to_matrices(const RecordTiming& timing, At at) const;

    uint64_t _generation = 0;
    std::vector<Frame> _frames;
    std::vector<Clip> _clips;
    std::vector<int> _parents;
    std::vector<aiMatrix4x4> _rest;
    std::vector<osg::Matrixf> _rest_matrices;
    std::vector<Transform> _rest_transforms;
    std::vector<Frame> _rest_frames;
    // The nodes that some clip keys, eight at a time (-1: no node), and per clip, group and tick their
    // frames side by side (a node that the clip does not key holds its rest transform, a lane without
    // a node identity).
    std::vector<LaneGroup> _groups;
    std::vector<LaneFrame> _lane_frames;
    std::unordered_map<std::string, int> _node_ids;
};

}  // namespace Animator
