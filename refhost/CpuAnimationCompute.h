// The CPU twin of the compute shader "animator/animation_compute.fx": evaluates its three passes in
// C++ from the bound buffers alone (packed frames, clip records, node paths, masks, per-instance data,
// record pool, instance indices) and writes the bound output buffers, so a host without GL gets the
// same model-space node matrices. The shader file's header comment is the contract both follow.
#pragma once
#include <cstddef>
#include <cstdint>

namespace render {

class CpuAnimationCompute {
public:
    template <class T> struct Span {
        T* data = nullptr;
        size_t bytes = 0;
    };
    using In = Span<const uint8_t>;
    using Out = Span<uint8_t>;

    // What a dispatch of the shader has bound; an unbound buffer is empty.
    struct Bindings {
        int num_nodes = 0;      // NUM_NODES
        int max_node_path = 1;  // MAX_NODE_PATH
        int max_stack = 100;    // MAX_ANIMATIONS_STACK_SIZE
        float model_time = 0.0f;
        In animations, clips_info, node_paths, masks, per_instance_data, per_instance_animations, instance_indices,
            local_transforms;
        Out local_transforms_rw, model_transforms_rw, per_instance_data_rw, timeline;
        // Numbers that change whenever the contents of `animations` or `clips_info` do, never shared by
        // two contents (0: not known). With both known, the frames are rearranged for the lanes once
        // per content and reused by later dispatches.
        uint64_t animations_version = 0, clips_version = 0;
    };

    // Pass 0, 1 and 2 for `groups` listed instances (one work group each).
    static void evaluate_records(const Bindings& b, uint32_t groups);
    static void chain_nodes(const Bindings& b, uint32_t groups);
    static void timeline_state(const Bindings& b, uint32_t groups);
    // Runs pass `pass`; false for a pass the shader does not have.
    static bool dispatch(int pass, const Bindings& b, uint32_t groups);

    // The widest vectors the passes may use: 8 (the default) takes eight lanes where the processor has
    // AVX2 and FMA, anything less always four; answers the previous value. Both give the same poses
    // to float rounding; tests check each.
    static int set_max_lanes(int lanes);
};

}  // namespace render
