// The animation compute passes on the OpenGL back-end: characters of the sample biped, each with a
// 2-D record of four clips fading in over a clip record at its own time, evaluated in one dispatch
// per pass. Reports the wall time of both passes per frame (until the GPU has finished) and the
// characters evaluated per millisecond. Counts: 1,000 and 10,000 by default; with
// ANIMATOR_BENCH_GPU=1 also 100,000 (for a machine with a GPU).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/instance/InstanceData.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Render.h"
#include "refhost/gl/GlBackend.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

struct Scene {
    test::LogCapture log{true};
    std::shared_ptr<render::GlBackend> gl;
    std::unique_ptr<test::ScopedMount> animations, models, shaders;
    orn::ref_ptr<CharacterModelStatic> model;
    AnimationManager* manager = nullptr;
    int wave = 0;

    Scene() {
        if (!std::ifstream(test::data_dir() + "/models/biped.chanimgpu")) return;
        gl = render::GlBackend::create();
        if (!gl) return;
        render::set_backend(gl);
        animations = std::make_unique<test::ScopedMount>(test::data_dir() + "/animations", "/animations/");
        models = std::make_unique<test::ScopedMount>(test::data_dir() + "/models", "/models/");
        shaders = std::make_unique<test::ScopedMount>(std::string(ANIMATOR_SOURCE_DIR) + "/refhost/shaders", "/shaders/");
        model = orn::ref_ptr<CharacterModelStatic>(new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        manager = model->get_animation_manager();
    }
};

Scene& scene() {
    static Scene s;
    return s;
}

// Per-instance records and their stacks for `count` characters, written straight into the buffers
// the passes read (the registry is not needed to time the passes).
struct Crowd {
    render::StructuredBuffer per_instance, pool, indices, out;
    explicit Crowd(AnimationManager& m, int count) {
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> start(-20.0f, 0.0f), unit(0.0f, 1.0f);
        const int clips[4] = {m.get_animation_index("walk_loop_slow"), m.get_animation_index("walk_loop_fast"),
                              m.get_animation_index("walk_loop_slow"), m.get_animation_index("walk_loop_fast")};
        std::vector<InstanceData> data(static_cast<size_t>(count));
        std::vector<ShaderBlendSpace2D> records;
        std::vector<int> ids;
        for (int i = 0; i < count; ++i) {
            ShaderBlendSpace2D below;
            below.kind = BS_RECORD_CLIP;
            below.samples[0].clip = static_cast<float>(m.get_animation_index("idle"));
            below.loop = 1.0f;
            below.start_time = start(rng);
            ShaderBlendSpace2D r;
            r.kind = BS_RECORD_2D;
            for (int k = 0; k < 4; ++k) r.samples[k].clip = static_cast<float>(clips[k]);
            r.loop = 1.0f;
            r.weight_x = unit(rng);
            r.weight_y = unit(rng);
            r.start_time = r.blend_start = below.start_time + 1.0f;
            r.blend_duration = 1e6f;
            data[i].id = i;
            data[i].stack[0] = static_cast<int>(records.size());
            records.push_back(below);
            data[i].stack[1] = static_cast<int>(records.size());
            records.push_back(r);
            data[i].stack_size = 2;
            ids.push_back(i);
        }
        using R = render::RenderAPI;
        per_instance = R::createStructuredBuffer(sizeof(InstanceData), count, 12, data.data(), data.size() * sizeof(InstanceData), "BENCH");
        pool = R::createStructuredBuffer(sizeof(ShaderBlendSpace2D), static_cast<uint32_t>(records.size()), 12, records.data(),
                                         records.size() * sizeof(ShaderBlendSpace2D), "BENCH");
        indices = R::createStructuredBuffer(4, count, 12, ids.data(), ids.size() * 4, "BENCH");
        out = R::createStructuredBuffer(64, static_cast<uint32_t>(count * m.get_num_nodes()), 12, nullptr, 0, "BENCH");
    }
};

void BM_GlComputePasses(benchmark::State& state) {
    Scene& s = scene();
    if (!s.manager) {
        state.SkipWithError("no OpenGL context or no sample data");
        return;
    }
    const int count = static_cast<int>(state.range(0));
    Crowd crowd(*s.manager, count);
    AnimationManager::ComputePassParams p;
    p.instance_count = count;
    p.per_instance_data = &crowd.per_instance;
    p.per_instance_animations = &crowd.pool;
    p.instance_indices = &crowd.indices;
    p.model_transforms = &crowd.out;
    s.manager->compute(p);  // first use builds the local transforms
    s.gl->finish();
    float t = 0.0f;
    for (auto _ : state) {
        p.model_time = t;
        const auto begin = std::chrono::steady_clock::now();
        s.manager->compute(p);
        s.gl->finish();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        t += 0.0167f;
    }
    state.counters["characters_per_ms"] =
        benchmark::Counter(static_cast<double>(count) * 1e-3, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(s.gl->renderer());
}

void counts(benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000);
    if (const char* gpu = std::getenv("ANIMATOR_BENCH_GPU"); gpu && *gpu == '1') b->Arg(100000);
}

BENCHMARK(BM_GlComputePasses)->Apply(counts)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
