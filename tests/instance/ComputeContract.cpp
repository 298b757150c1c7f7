#include "tests/instance/ComputeContract.h"

#include <algorithm>
#include <cmath>

#include "animator/instance/InstanceData.h"
#include "host/Render.h"
#include "tests/support/SampleBiped.h"

namespace test {

using Animator::ShaderBlendSpace2D;

std::vector<osg::Matrixf> gpu_model_transforms(Animator::AnimationManager& manager, Animator::CharacterModelStatic& model,
                                               const std::vector<int>& ids, float time) {
    using R = render::RenderAPI;
    const std::vector<Animator::InstanceData>& data = model.get_per_instance_data();
    const std::vector<ShaderBlendSpace2D>& records = model.get_blend_spaces().records;
    const uint32_t slots = static_cast<uint32_t>(data.size());
    const uint32_t n = static_cast<uint32_t>(manager.get_num_nodes());
    render::StructuredBuffer per_instance = R::createStructuredBuffer(
        sizeof(Animator::InstanceData), slots, 12, data.data(), data.size() * sizeof(Animator::InstanceData), "TEST");
    render::StructuredBuffer pool = R::createStructuredBuffer(sizeof(ShaderBlendSpace2D),
                                                              static_cast<uint32_t>(records.size()), 12, records.data(),
                                                              records.size() * sizeof(ShaderBlendSpace2D), "TEST");
    render::StructuredBuffer indices = R::createStructuredBuffer(4, static_cast<uint32_t>(ids.size()), 12, ids.data(),
                                                                 ids.size() * 4, "TEST");
    render::StructuredBuffer out = R::createStructuredBuffer(64, n * slots, 12, nullptr, 0, "TEST");
    if (!per_instance || !pool || !indices || !out) return {};

    run_compute(manager, time, static_cast<int32_t>(ids.size()), per_instance, pool, indices, out);

    std::vector<osg::Matrixf> all(static_cast<size_t>(n) * slots);
    if (!out->read(all.data(), all.size() * sizeof(osg::Matrixf))) return {};
    std::vector<osg::Matrixf> listed;
    for (int id : ids) listed.insert(listed.end(), all.begin() + id * n, all.begin() + (id + 1) * n);
    return listed;
}

void run_compute(Animator::AnimationManager& manager, float time, int32_t count, render::StructuredBuffer per_instance,
                 render::StructuredBuffer pool, render::StructuredBuffer indices, render::StructuredBuffer out) {
    Animator::AnimationManager::ComputePassParams params;
    params.model_time = time;
    params.instance_count = count;
    params.per_instance_data = &per_instance;
    params.per_instance_animations = &pool;
    params.instance_indices = &indices;
    params.model_transforms = &out;
    manager.compute(params);
}

std::vector<osg::Matrixf> cpu_model_transforms(const Animator::AnimationManager& manager,
                                               const std::vector<Animator::CharacterModelCookie*>& cookies, float time) {
    const size_t n = static_cast<size_t>(manager.get_num_nodes());
    std::vector<osg::Matrixf> out(n * cookies.size());
    for (size_t i = 0; i < cookies.size(); ++i)
        if (!manager.get_model_transforms(time, cookies[i], out.data() + i * n))
            std::fill(out.begin() + i * n, out.begin() + (i + 1) * n, osg::Matrixf::identity());
    return out;
}

MatrixError compare(const std::vector<osg::Matrixf>& a, const std::vector<osg::Matrixf>& b, float size) {
    MatrixError e;
    if (a.size() != b.size()) {
        e.rotation = e.translation = INFINITY;
        return e;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        float r = 0.0f, t = 0.0f;
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) r = std::max(r, std::fabs(a[i](row, col) - b[i](row, col)));
        for (int col = 0; col < 3; ++col) t = std::max(t, std::fabs(a[i](3, col) - b[i](3, col)) / size);
        if (!(r <= e.rotation) || !(t <= e.translation)) e.worst = static_cast<int>(i);
        e.rotation = std::max(e.rotation, r);
        e.translation = std::max(e.translation, t);
        if (std::isnan(r) || std::isnan(t)) e.rotation = e.translation = NAN;
    }
    return e;
}

float skeleton_size(const Animator::AnimationManager& manager) {
    const auto& rest = manager.get_rest_transforms();
    const auto& paths = manager.get_node_paths();
    float size = 0.0f;
    for (size_t i = 0; i < rest.size() && i < paths.size(); ++i) {
        aiMatrix4x4 w;
        for (auto it = paths[i].rbegin(); it != paths[i].rend(); ++it) w = w * rest[*it];
        size = std::max(size, std::sqrt(w.a4 * w.a4 + w.b4 * w.b4 + w.c4 * w.c4));
    }
    return size > 0.0f ? size : 1.0f;
}

ShaderBlendSpace2D random_record(std::mt19937& rng, int clips, int override_clip) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto clip = [&]() -> float {
        switch (pick(12)) {
        case 0: return 65535.0f;                          // no clip has that name
        case 1: return static_cast<float>(clips + 3);     // past the last clip
        case 2: return -1.0f;
        default: return static_cast<float>(pick(clips));
        }
    };
    ShaderBlendSpace2D r;
    const Animator::BlendSpaceRecordKind kinds[] = {Animator::BS_RECORD_CLIP, Animator::BS_RECORD_CLIP,
                                                    Animator::BS_RECORD_1D, Animator::BS_RECORD_2D,
                                                    Animator::BS_RECORD_2D, Animator::BS_RECORD_EMPTY};
    r.kind = kinds[pick(6)];
    const int used = r.kind == Animator::BS_RECORD_CLIP ? 1 : r.kind == Animator::BS_RECORD_1D ? 2 : 4;
    for (int k = 0; k < used; ++k) r.samples[k].clip = clip();
    r.start_time = -2.0f + 8.0f * unit(rng);
    r.loop = pick(3) ? 1.0f : 0.0f;
    if (r.kind == Animator::BS_RECORD_CLIP && pick(2)) {
        r.loop_start = 0.5f * unit(rng);
        r.loop_end = r.loop_start + 0.1f + unit(rng);
    }
    r.weight_x = pick(5) ? unit(rng) : static_cast<float>(pick(2));
    r.weight_y = r.kind == Animator::BS_RECORD_2D ? (pick(5) ? unit(rng) : static_cast<float>(pick(2))) : 0.0f;
    r.blend_start = r.start_time - (pick(2) ? 0.0f : 0.5f * unit(rng));
    const float fades[] = {0.0f, 0.0f, 0.3f, 1.0f, -1.0f};
    r.blend_duration = fades[pick(5)];
    const int o = pick(4);
    r.override_clip = o == 0 ? static_cast<float>(override_clip) : o == 1 ? 65535.0f : -1.0f;
    return r;
}

std::vector<float> probe_times(std::mt19937& rng, const std::vector<ShaderBlendSpace2D>& stack) {
    std::vector<float> times;
    auto around = [&](float t) {
        times.push_back(t);
        times.push_back(t - 1e-3f);
        times.push_back(t + 1e-3f);
    };
    for (const ShaderBlendSpace2D& r : stack) {
        around(r.start_time);
        around(r.blend_start);
        if (r.blend_duration > 0.0f) around(r.blend_start + r.blend_duration);
        if (r.loop_start >= 0.0f) around(r.start_time + r.loop_start);
    }
    std::uniform_real_distribution<float> any(-1.0f, 12.0f);
    for (int i = 0; i < 6; ++i) times.push_back(any(rng));
    return times;
}

void set_stack_unexpired(Animator::CharacterModelCookie& cookie, std::vector<ShaderBlendSpace2D> stack) {
    ManualClock past(-1e6);
    cookie.set_stack(stack);
}

}  // namespace test
