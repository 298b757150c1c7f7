// Packing of a library's clips into GPU buffers and the compute passes that pose characters from them.
#include "animator/instance/GpuAnimation.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include <assimp/anim.h>

#include "animator/instance/InstanceData.h"
#include "animator/library/AnimationManager.h"

namespace Animator {

namespace {

const char* const COMPUTE_SHADER = "animator/animation_compute.fx";
const char* const TECHNIQUE = "AnimationCompute";
const char* const BUFFER_TAG = "ANIMATOR";
const int USAGE_READ_ONLY = 5;
const int USAGE_READ_WRITE = 12;

const char* const VARIABLE_NAMES[GpuAnimation::V_COUNT] = {
    "animations",          "clips_info",          "node_paths",       "masks",
    "per_instance_data",   "per_instance_data_rw", "per_instance_animations", "local_transforms",
    "local_transforms_rw", "model_transforms_rw", "instance_indices", "timeline",
    "model_time",          "root_transform_index"};

}  // namespace

const std::vector<GpuAnimation::Frame>& GpuAnimation::frames() const {
    static const std::vector<Frame> none;
    return _frames ? *_frames : none;
}

void GpuAnimation::pack(const AnimationManager& manager) {
    const size_t n = static_cast<size_t>(std::max(manager.get_num_nodes(), 0));
    const ClipRuntime& runtime = manager.get_clip_runtime();
    _frames = &runtime.frames();
    _clips.clear();
    _clips.reserve(static_cast<size_t>(runtime.num_clips()));
    const std::map<std::string, osg::Vec4f>& vectors = manager.get_clip_vectors();
    for (int c = 0; c < runtime.num_clips(); ++c) {
        const ClipRuntime::Clip& clip = *runtime.clip(c);
        const AnimationManager::AnimationDescription* description = manager.get_description(c);
        ClipInfo info{};
        info.first = clip.first;
        info.nodes = static_cast<uint32_t>(runtime.num_nodes());
        info.frames = clip.frames;
        info.rate = static_cast<float>(clip.rate);
        auto vec = description ? vectors.find(description->name) : vectors.end();
        const osg::Vec4f v = vec != vectors.end() ? vec->second : osg::Vec4f(1, 1, 1, 1);
        for (int k = 0; k < 4; ++k) info.vector[k] = v[k];
        if (const AnimationManager::OverrideAnimation* ov = manager.find_override_by_clip(c))
            info.vector[3] = -static_cast<float>(ov->id + 1);
        _clips.push_back(info);
    }

    const std::vector<std::vector<uint32_t>>& paths = manager.get_node_paths();
    const size_t p = static_cast<size_t>(std::max(manager.get_longest_path(), 1));
    _node_paths.assign(n * p, 0);
    for (size_t i = 0; i < n && i < paths.size(); ++i)
        for (size_t j = 0; j < paths[i].size() && j < p; ++j) _node_paths[i * p + j] = static_cast<int32_t>(paths[i][j]);

    _masks.clear();
    const auto& overrides = manager.get_overrides();
    const int mask_count = static_cast<int>(overrides.size());
    _masks.reserve(static_cast<size_t>(mask_count) * n);
    for (int i = 0; i < mask_count; ++i) {
        const AnimationManager::OverrideAnimation* mask = nullptr;
        for (const auto& entry : overrides)
            if (entry.second.id == i) {
                mask = &entry.second;
                break;
            }
        for (size_t node = 0; node < n; ++node)
            _masks.push_back(mask && node < mask->weights.size() ? mask->weights[node] : 0.0f);
    }
}

void GpuAnimation::create_resources(int num_nodes, int longest_path) {
    auto create = [](uint32_t size, size_t count, const void* data) {
        return render::RenderAPI::createStructuredBuffer(size, static_cast<uint32_t>(count), USAGE_READ_ONLY, data,
                                                         size * count, BUFFER_TAG);
    };
    const size_t n = static_cast<size_t>(std::max(num_nodes, 0));
    const size_t p = static_cast<size_t>(std::max(longest_path, 1));
    const std::vector<Frame>& packed = frames();
    _animations = create(sizeof(Frame), packed.size(), packed.data());
    _clips_info = create(sizeof(ClipInfo), _clips.size(), _clips.data());
    _paths = create(static_cast<uint32_t>(p * sizeof(int32_t)), n, _node_paths.data());
    _mask_buffer = create(sizeof(float), _masks.size(), _masks.data());

    auto define = [](const char* name, const std::string& value) {
        return render::ShaderDefine{name, value.substr(0, 64)};
    };
    const render::ShaderDefines defines{define("NUM_NODES", std::to_string(n)),
                                        define("MAX_NODE_PATH", std::to_string(p)),
                                        define("MAX_ANIMATIONS_STACK_SIZE", std::to_string(MAX_ANIMATIONS_STACK_SIZE))};
    _shader = render::RenderAPI::openShader(COMPUTE_SHADER, defines);
    for (int i = 0; i < V_COUNT; ++i) _vars[i] = _shader ? _shader->getVariable(VARIABLE_NAMES[i]) : -1;
    _technique = _shader ? _shader->getTechnique(TECHNIQUE) : -1;
}

void GpuAnimation::compute(int num_nodes, float model_time, int32_t instance_count,
                           const render::StructuredBuffer& per_instance_data,
                           const render::StructuredBuffer& per_instance_animations,
                           const render::StructuredBuffer& instance_indices,
                           const render::StructuredBuffer& model_transforms) {
    using R = render::RenderAPI;
    const uint64_t capacity = per_instance_data ? per_instance_data->capacity() : 0;
    const uint64_t needed = static_cast<uint64_t>(std::max(num_nodes, 0)) * capacity;
    if (!_local_transforms || _local_transforms->capacity() < needed) {
        _local_transforms.reset();
        _local_transforms =
            R::createStructuredBuffer(64, static_cast<uint32_t>(needed), USAGE_READ_WRITE, nullptr, 0, BUFFER_TAG);
    }
    const uint32_t groups = instance_count > 0 ? static_cast<uint32_t>(instance_count) : 0;

    R::beginTechnique(_shader, _technique, 0);
    R::bindBuffer(_vars[V_PER_INSTANCE_DATA], per_instance_data);
    R::bindBuffer(_vars[V_PER_INSTANCE_ANIMATIONS], per_instance_animations);
    R::bindBuffer(_vars[V_INSTANCE_INDICES], instance_indices);
    R::bindBuffer(_vars[V_CLIPS_INFO], _clips_info);
    R::bindBuffer(_vars[V_ANIMATIONS], _animations);
    R::bindBuffer(_vars[V_MASKS], _mask_buffer);
    R::bindBuffer(_vars[V_LOCAL_TRANSFORMS_RW], _local_transforms);
    R::setFloat(_vars[V_MODEL_TIME], model_time);
    R::commit();
    R::dispatch(0, groups, 1, 1);
    R::endPass();

    R::beginTechnique(_shader, _technique, 1);
    R::bindBuffer(_vars[V_INSTANCE_INDICES], instance_indices);
    R::bindBuffer(_vars[V_NODE_PATHS], _paths);
    R::bindBuffer(_vars[V_LOCAL_TRANSFORMS], _local_transforms);
    R::bindBuffer(_vars[V_MODEL_TRANSFORMS_RW], model_transforms);
    R::setFloat(_vars[V_MODEL_TIME], model_time);
    R::commit();
    R::dispatch(1, groups, 1, 1);
    R::endPass();
}

void GpuAnimation::process_timeline(int root_node_id, const std::tuple<float, int, float, int>& p,
                                    const std::tuple<render::StructuredBuffer, render::StructuredBuffer,
                                                     render::StructuredBuffer, render::StructuredBuffer>& b) {
    using R = render::RenderAPI;
    R::beginTechnique(_shader, _technique, 2);
    R::setFloat(_vars[V_MODEL_TIME], std::get<0>(p));
    R::setInt(_vars[V_ROOT_TRANSFORM_INDEX], root_node_id);
    R::bindBuffer(_vars[V_INSTANCE_INDICES], std::get<0>(b));
    R::bindBuffer(_vars[V_PER_INSTANCE_DATA], std::get<1>(b));
    R::bindBuffer(_vars[V_PER_INSTANCE_DATA_RW], std::get<2>(b));
    R::bindBuffer(_vars[V_TIMELINE], std::get<3>(b));
    R::commit();
    const int groups = std::get<1>(p);
    R::dispatch(2, groups > 0 ? static_cast<uint32_t>(groups) : 0, 1, 1);
    R::endPass();
}

}  // namespace Animator
