// The animation compute passes evaluated by the reference host's CPU back-end (the C++ twin of the
// shader) for 1,000 characters of the sample biped at random times: a stack of a clip record alone,
// and of a 2-D record of four clips fading in over a clip record, the 2-D record's rows naming the
// same two clips (as a blend space's grid does where an axis changes no clip) or four different
// clips. Reports microseconds of thread CPU time per character (the counter "us_per_character", shown
// with the unit "s"), median over repetitions, and the same with the four-lane code that processors
// without AVX2 and FMA run; beside them, the library's own evaluation (get_model_transforms) of one clip.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Render.h"
#include "refhost/CpuAnimationCompute.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

constexpr int kCharacters = 1000;

struct Crowd {
    test::LogCapture log{true};
    std::unique_ptr<test::ScopedMount> animations, models;
    orn::ref_ptr<CharacterModelStatic> model;
    std::vector<std::unique_ptr<model::ModelCookie>> cookies;
    AnimationManager* manager = nullptr;
    render::StructuredBuffer per_instance, pool, indices, out;

    // `clips`: the 2-D record's four clips, fading in over the clip record; none: the clip record alone.
    explicit Crowd(const char* const* clips) {
        if (!std::ifstream(test::data_dir() + "/models/biped.chanimgpu")) return;
        // One back-end for every crowd: the shared library's shader handles belong to it.
        static const std::shared_ptr<render::CpuBackend> backend = std::make_shared<render::CpuBackend>();
        render::set_backend(backend);
        animations = std::make_unique<test::ScopedMount>(test::data_dir() + "/animations", "/animations/");
        models = std::make_unique<test::ScopedMount>(test::data_dir() + "/models", "/models/");
        model = orn::ref_ptr<CharacterModelStatic>(new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        manager = model->get_animation_manager();
        if (!manager) return;
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> start(-20.0f, 0.0f), unit(0.0f, 1.0f);
        std::vector<int> ids;
        for (int i = 0; i < kCharacters; ++i) {
            cookies.push_back(model->createCookie());
            auto* c = static_cast<CharacterModelCookie*>(cookies.back().get());
            ShaderBlendSpace2D below;
            below.kind = BS_RECORD_CLIP;
            below.samples[0].clip = manager->get_animation_index("idle");
            below.loop = 1.0f;
            below.start_time = start(rng);
            std::vector<ShaderBlendSpace2D> stack{below};
            if (clips) {
                ShaderBlendSpace2D r;
                r.kind = BS_RECORD_2D;
                for (int k = 0; k < 4; ++k) r.samples[k].clip = manager->get_animation_index(clips[k]);
                r.loop = 1.0f;
                r.weight_x = unit(rng);
                r.weight_y = unit(rng);
                // Fading in over the clip below at any model time of the benchmark.
                r.start_time = r.blend_start = below.start_time + 1.0f;
                r.blend_duration = 1e6f;
                stack.push_back(r);
            }
            c->set_stack(stack);
            ids.push_back(c->get_id());
        }
        using R = render::RenderAPI;
        const auto& data = model->get_per_instance_data();
        const auto& records = model->get_blend_spaces().records;
        per_instance = R::createStructuredBuffer(sizeof(InstanceData), static_cast<uint32_t>(data.size()), 12, data.data(),
                                                 data.size() * sizeof(InstanceData), "BENCH");
        pool = R::createStructuredBuffer(sizeof(ShaderBlendSpace2D), static_cast<uint32_t>(records.size()), 12,
                                         records.data(), records.size() * sizeof(ShaderBlendSpace2D), "BENCH");
        indices = R::createStructuredBuffer(4, kCharacters, 12, ids.data(), ids.size() * 4, "BENCH");
        out = R::createStructuredBuffer(64, static_cast<uint32_t>(data.size() * manager->get_num_nodes()), 12, nullptr,
                                        0, "BENCH");
    }

    void evaluate(float time) {
        AnimationManager::ComputePassParams p;
        p.model_time = time;
        p.instance_count = kCharacters;
        p.per_instance_data = &per_instance;
        p.per_instance_animations = &pool;
        p.instance_indices = &indices;
        p.model_transforms = &out;
        manager->compute(p);
        static_cast<render::CpuBackend*>(render::get_backend())->clear();
    }
};

const char* const ROWS_ALIKE[4] = {"walk_loop_slow", "walk_loop_fast", "walk_loop_slow", "walk_loop_fast"};
const char* const FOUR_CLIPS[4] = {"walk_loop_slow", "walk_loop_fast", "turn_left", "turn_right"};

void run(benchmark::State& state, const char* const* clips, int lanes = 8) {
    // One crowd at a time: a crowd installs the back-end and model it evaluates on.
    static std::unique_ptr<Crowd> crowd;
    static const char* const* kind = nullptr;
    if (!crowd || kind != clips) {
        crowd.reset();
        crowd = std::make_unique<Crowd>(clips);
        kind = clips;
    }
    if (!crowd->manager) {
        state.SkipWithError("sample data missing");
        return;
    }
    const int before = render::CpuAnimationCompute::set_max_lanes(lanes);
    float t = 0.0f;
    for (auto _ : state) {
        crowd->evaluate(t);
        t += 0.0171f;
    }
    render::CpuAnimationCompute::set_max_lanes(before);
    state.counters["us_per_character"] =
        benchmark::Counter(static_cast<double>(kCharacters) * 1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

// The same characters through the library's own evaluation, one character at a time.
void run_library(benchmark::State& state) {
    static std::unique_ptr<Crowd> crowd;
    if (!crowd) crowd = std::make_unique<Crowd>(nullptr);
    if (!crowd->manager) {
        state.SkipWithError("sample data missing");
        return;
    }
    std::vector<osg::Matrixf> out(static_cast<size_t>(crowd->manager->get_num_nodes()));
    float t = 0.0f;
    for (auto _ : state) {
        for (auto& c : crowd->cookies)
            crowd->manager->get_model_transforms(t, static_cast<CharacterModelCookie*>(c.get()), out.data());
        benchmark::DoNotOptimize(out.data());
        t += 0.0171f;
    }
    state.counters["us_per_character"] =
        benchmark::Counter(static_cast<double>(kCharacters) * 1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                                        benchmark::Counter::kInvert);
}

void BM_CpuComputeOneClip(benchmark::State& state) { run(state, nullptr); }
void BM_CpuCompute2DFadingOverClip(benchmark::State& state) { run(state, ROWS_ALIKE); }
void BM_CpuCompute2DFourClipsFadingOverClip(benchmark::State& state) { run(state, FOUR_CLIPS); }
// The four-lane code, which processors without AVX2 and FMA run.
void BM_CpuComputeOneClipFourLanes(benchmark::State& state) { run(state, nullptr, 4); }
void BM_CpuCompute2DFourClipsFadingOverClipFourLanes(benchmark::State& state) { run(state, FOUR_CLIPS, 4); }

void BM_LibraryOneClip(benchmark::State& state) { run_library(state); }
// Beside the median, the fastest repetition: on a shared machine the least disturbed one.
double fastest(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }
void five_repetitions(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->ComputeStatistics("min", fastest);
}

BENCHMARK(BM_LibraryOneClip)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_CpuComputeOneClip)->Apply(five_repetitions);
BENCHMARK(BM_CpuCompute2DFadingOverClip)->Apply(five_repetitions);
BENCHMARK(BM_CpuCompute2DFourClipsFadingOverClip)->Apply(five_repetitions);
BENCHMARK(BM_CpuComputeOneClipFourLanes)->Apply(five_repetitions);
BENCHMARK(BM_CpuCompute2DFourClipsFadingOverClipFourLanes)->Apply(five_repetitions);

}  // namespace

BENCHMARK_MAIN();
