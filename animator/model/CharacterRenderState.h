// The per-frame rendering state of a character model: per-instance arrays indexed by instance id,
// the batches by pass key, the GPU buffers the drawing shader reads (grown, never shrunk) and the
// statistics counters.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <osg/Matrixf>

#include "animator/model/AnimatorBatch.h"
#include "host/Render.h"

namespace Animator {

struct CharacterRenderState {
    // 64-bit FNV-1a over the eight bytes of a pass key.
    struct PassKeyHash {
        size_t operator()(uint64_t key) const {
            uint64_t h = 14695981039346656037ull;
            for (int i = 0; i < 8; ++i) {
                h ^= (key >> (8 * i)) & 0xFFu;
                h *= 1099511628211ull;
            }
            return static_cast<size_t>(h);
        }
    };
    struct Motion {
        osg::Matrixf current;   // world matrix of the last frame that drew the instance
        osg::Matrixf previous;  // the one before
        osg::Matrixf upload;    // "prev_frame_transforms" (transposed)
        uint64_t frame = AnimatorBatch::never;  // frame in which these were last written
        bool had_previous = false;              // that frame directly followed the one before
    };
    using FlatShadow = std::array<float, 6>;  // terrain point relative to the origin, surface normal

    std::vector<osg::Matrixf> world_matrices;
    std::vector<FlatShadow> flat_shadows;
    std::vector<Motion> motion;
    std::vector<osg::Matrixf> motion_uploads;  // contiguous copy of motion[i].upload for the upload
    std::unordered_map<uint64_t, AnimatorBatch, PassKeyHash> batches;

    render::StructuredBuffer positions;
    render::StructuredBuffer flat_shadow_params;
    render::StructuredBuffer prev_frame_transforms;
    render::StructuredBuffer instance_indices;
    render::StructuredBuffer per_instance_data[2];
    int current_per_instance = 0;
    render::StructuredBuffer per_instance_animations;
    render::StructuredBuffer model_transforms;
    float frame_time = 0.0f;

    // Statistics of the frame counted (CharacterModelBase::statistics), started anew by the model's
    // first submission in a frame.
    int parsed = 0;
    int main_instances = 0;
    int flat_shadow_instances = 0;
    int rendered_instances = 0;
    int processed_objects = 0;
    int skipped_objects = 0;
    // Main-pass instances drawn per level of detail in the last finished frame (the levels' own counts
    // start anew at the end of each frame while statistics are on).
    int lod_instances[AnimatorBatch::max_lods] = {};

    void start_statistics() {
        parsed = main_instances = flat_shadow_instances = 0;
        rendered_instances = processed_objects = skipped_objects = 0;
    }

    // Makes the per-id arrays hold at least `count` entries.
    void reserve_ids(size_t count) {
        if (world_matrices.size() >= count) return;
        world_matrices.resize(count);
        flat_shadows.resize(count, FlatShadow{});
        motion.resize(count);
        motion_uploads.resize(count);
    }
};

}  // namespace Animator
