// Running a library's compute passes the way a model's batch does, on whichever render back-end is
// installed, and the library's own evaluation of the same characters to compare with; random stacks
// of every record kind for agreement tests.
#pragma once
#include <random>
#include <vector>

#include <osg/Matrixf>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Render.h"

namespace test {

// Uploads the model's per-instance data and record pool, runs `manager.compute` for the listed
// instance ids at `time` and reads back the model-space matrices: N per listed instance, in list order.
// Empty when a buffer could not be made or read.
std::vector<osg::Matrixf> gpu_model_transforms(Animator::AnimationManager& manager, Animator::CharacterModelStatic& model,
                                               const std::vector<int>& ids, float time);

// Runs the library's compute passes on these buffers, as a model's batch does.
void run_compute(Animator::AnimationManager& manager, float time, int32_t count, render::StructuredBuffer per_instance,
                 render::StructuredBuffer pool, render::StructuredBuffer indices, render::StructuredBuffer out);

// The library's own whole-character evaluation: N matrices per cookie, in list order.
std::vector<osg::Matrixf> cpu_model_transforms(const Animator::AnimationManager& manager,
                                               const std::vector<Animator::CharacterModelCookie*>& cookies, float time);

// Largest difference of rotation-scale entries and of translations (the latter divided by `size`).
struct MatrixError {
    float rotation = 0.0f;
    float translation = 0.0f;
    int worst = -1;  // index of the matrix with the largest error
};
MatrixError compare(const std::vector<osg::Matrixf>& a, const std::vector<osg::Matrixf>& b, float size);

// The largest distance of a node from the origin in the rest pose: the scale of the skeleton.
float skeleton_size(const Animator::AnimationManager& manager);

// A random record: every kind (sometimes empty), valid and invalid clip indices, loop flags and loop
// ranges, fades, overrides (`override_clip`, or an index that is none), start times in [-2, 6].
Animator::ShaderBlendSpace2D random_record(std::mt19937& rng, int clips, int override_clip);

// Times worth evaluating a stack at: its records' starts, fade starts and ends and loop starts, just
// before and after them, and random times in [-1, 12].
std::vector<float> probe_times(std::mt19937& rng, const std::vector<Animator::ShaderBlendSpace2D>& stack);

// Sets a cookie's stack without expiring anything (the model clock is held far in the past meanwhile).
void set_stack_unexpired(Animator::CharacterModelCookie& cookie, std::vector<Animator::ShaderBlendSpace2D> stack);

}  // namespace test
