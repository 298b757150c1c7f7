// One batch of a character model for one render pass key: the instances submitted in this frame,
// listed per level of detail and all together, and what the statistics window shows of it.
#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace Animator {

class CharacterModelStatic;

struct AnimatorBatch {
    static constexpr int max_lods = 10;
    static constexpr uint64_t never = std::numeric_limits<uint64_t>::max();

    std::string name;  // the pass key in decimal, then the render queue's class name
    std::vector<int32_t> lod_indices[max_lods];
    // The two underscored fields are public as every field of this plain record: the model's render
    // code fills them and the statistics read them.
    std::vector<int32_t> _total_indices;
    uint64_t frame = never;  // frame of the last submission to the renderer
    int draw_count = 0;      // draws since that submission
    int pass_type = 0;       // of the last submission, for a draw without a render context
    CharacterModelStatic* _model = nullptr;
    // Statistics of the last frame.
    int64_t total_triangles = 0;
    int total_instances = 0;
    int lod_counts[max_lods] = {};
    // Statistics since the last submission: shadow-pass instances submitted, instances drawn.
    int shadow_instances = 0;
    int rendered_instances = 0;
};

}  // namespace Animator
