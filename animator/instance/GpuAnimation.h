// The GPU side of one animation library: every clip packed into flat per-tick frames, the clip
// records, node paths and override masks as read-only structured buffers, the compute shader
// "animator/animation_compute.fx" with its handles, and the dispatches of its three passes.
//
// Buffer contents (32-bit little-endian fields):
//   "animations"  per clip, per node, per frame: rotation x, y, z, w; translation x, y, z; uniform
//                 scale (1 for an unscaled key)
//   "clips_info"  per clip: first frame, node count, frames (whole ticks + 1), ticks per second, and
//                 the clip's vector: the library's per-clip vector, or (1, 1, 1, 1); for a clip that an
//                 override plays, w = -(mask row + 1), so the shader finds the override's mask row
//   "node_paths"  per node MAX_NODE_PATH ids: the node, its parent, ... the root; unused entries 0
//   "masks"       per override (by id) one weight per node
#pragma once
#include <cstdint>
#include <tuple>
#include <vector>

#include "animator/library/ClipRuntime.h"
#include "host/Render.h"

namespace Animator {

class AnimationManager;

class GpuAnimation {
public:
    // The library's own runtime frames, uploaded as they are: CPU queries and the GPU read the same data.
    using Frame = ClipRuntime::Frame;
    struct ClipInfo {
        uint32_t first;
        uint32_t nodes;
        int32_t frames;
        float rate;
        float vector[4];
    };
    static_assert(sizeof(Frame) == 32 && sizeof(ClipInfo) == 32, "GPU element sizes");

    // The shader variables, looked up once by name.
    enum Var {
        V_ANIMATIONS, V_CLIPS_INFO, V_NODE_PATHS, V_MASKS, V_PER_INSTANCE_DATA, V_PER_INSTANCE_DATA_RW,
        V_PER_INSTANCE_ANIMATIONS, V_LOCAL_TRANSFORMS, V_LOCAL_TRANSFORMS_RW, V_MODEL_TRANSFORMS_RW,
        V_INSTANCE_INDICES, V_TIMELINE, V_MODEL_TIME, V_ROOT_TRANSFORM_INDEX, V_COUNT
    };

    // Packs the library's clip records, node paths and masks and takes the frames of its clip runtime
    // (CPU arrays only; no renderer call). The manager must outlive this packing.
    void pack(const AnimationManager& manager);
    // Creates the four read-only buffers, opens the shader and looks up its technique and variables.
    void create_resources(int num_nodes, int longest_path);

    // The two evaluation passes for `instance_count` instances listed in `instance_indices`.
    void compute(int num_nodes, float model_time, int32_t instance_count, const render::StructuredBuffer& per_instance_data,
                 const render::StructuredBuffer& per_instance_animations,
                 const render::StructuredBuffer& instance_indices, const render::StructuredBuffer& model_transforms);
    // The idle-timeline pass.
    void process_timeline(int root_node_id, const std::tuple<float, int, float, int>& p,
                          const std::tuple<render::StructuredBuffer, render::StructuredBuffer,
                                           render::StructuredBuffer, render::StructuredBuffer>& b);

    const std::vector<Frame>& frames() const;
    const std::vector<ClipInfo>& clips() const { return _clips; }
    const std::vector<int32_t>& node_paths() const { return _node_paths; }
    const std::vector<float>& masks() const { return _masks; }
    const render::StructuredBuffer& local_transforms() const { return _local_transforms; }
    const render::ShaderPtr& shader() const { return _shader; }
    // Keeps the local-transforms buffer of an earlier packing (it only ever grows).
    void adopt_local_transforms(const GpuAnimation& earlier) { _local_transforms = earlier._local_transforms; }

private:
    const std::vector<Frame>* _frames = nullptr;  // the manager's clip runtime's
    std::vector<ClipInfo> _clips;
    std::vector<int32_t> _node_paths;
    std::vector<float> _masks;
    render::StructuredBuffer _animations, _clips_info, _paths, _mask_buffer, _local_transforms;
    render::ShaderPtr _shader;
    render::TechniqueHandle _technique = -1;
    render::VariableHandle _vars[V_COUNT] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace Animator
