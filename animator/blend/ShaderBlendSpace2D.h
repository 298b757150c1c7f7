// The 104-byte timed sample record a character's stack holds (identical on the CPU and in the GPU
// record pool), and the parameters with which a state is entered.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include <osg/Vec2f>

namespace Animator {

enum BlendSpaceRecordKind : uint32_t {
    BS_RECORD_EMPTY = 0x0FFFFFF0u,
    BS_RECORD_CLIP = 0x0FFFFFF1u,
    BS_RECORD_1D = 0x0FFFFFF2u,
    BS_RECORD_2D = 0x0FFFFFF3u,
};

struct ShaderBlendSpace2D {
    struct Sample {
        float x = 0.0f;
        float y = 0.0f;
        float clip = 0.0f;  // clip index held as a float
    };

    uint32_t kind = BS_RECORD_EMPTY;
    Sample samples[4];
    float start_time = 0.0f;
    float cycle_duration = 0.0f;
    float play_length = 0.0f;
    float loop = 0.0f;
    float loop_start = -1.0f;
    float loop_end = -1.0f;
    float weight_x = 0.0f;
    float weight_y = 0.0f;
    float blend_start = 0.0f;
    float blend_duration = 0.0f;
    float override_clip = -1.0f;
    float reserved = -1.0f;
    int32_t blend_space_id = 0;
};

static_assert(sizeof(ShaderBlendSpace2D) == 104, "sample record is 104 bytes");
static_assert(offsetof(ShaderBlendSpace2D, kind) == 0, "layout");
static_assert(offsetof(ShaderBlendSpace2D, samples) == 4, "layout");
static_assert(offsetof(ShaderBlendSpace2D, start_time) == 52, "layout");
static_assert(offsetof(ShaderBlendSpace2D, cycle_duration) == 56, "layout");
static_assert(offsetof(ShaderBlendSpace2D, play_length) == 60, "layout");
static_assert(offsetof(ShaderBlendSpace2D, loop) == 64, "layout");
static_assert(offsetof(ShaderBlendSpace2D, loop_start) == 68, "layout");
static_assert(offsetof(ShaderBlendSpace2D, loop_end) == 72, "layout");
static_assert(offsetof(ShaderBlendSpace2D, weight_x) == 76, "layout");
static_assert(offsetof(ShaderBlendSpace2D, weight_y) == 80, "layout");
static_assert(offsetof(ShaderBlendSpace2D, blend_start) == 84, "layout");
static_assert(offsetof(ShaderBlendSpace2D, blend_duration) == 88, "layout");
static_assert(offsetof(ShaderBlendSpace2D, override_clip) == 92, "layout");
static_assert(offsetof(ShaderBlendSpace2D, reserved) == 96, "layout");
static_assert(offsetof(ShaderBlendSpace2D, blend_space_id) == 100, "layout");

// How a state is entered; `transition_duration` must be present when a record is built from it.
struct TransitionParams {
    std::optional<bool> loop;
    std::optional<osg::Vec2f> loop_range;
    std::optional<float> transition_duration;
    std::optional<float> animation_start_shift;
    uint32_t flags = 0;  // set to 0 by every caller; not read
};

}  // namespace Animator
