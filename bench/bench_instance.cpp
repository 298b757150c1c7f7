// Per-character CPU queries on the sample model: the instance matrix of a character whose current
// record is a 2-D blend of four clips, the model-space position of a hand node, and the model-space
// matrices of every node of that character (thread CPU time per call).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

constexpr const char* kHand = "biped_hand_R__conn_weapon";

struct Scene {
    test::LogCapture log{true};
    std::unique_ptr<test::ScopedMount> animations, models;
    orn::ref_ptr<Graphics::Model> model;
    std::unique_ptr<model::ModelCookie> cookie;
    AnimationManager* manager = nullptr;

    Scene() {
        if (!std::ifstream(test::data_dir() + "/models/biped.chanimgpu")) return;
        render::set_backend(std::make_shared<render::CpuBackend>());
        animations = std::make_unique<test::ScopedMount>(test::data_dir() + "/animations", "/animations/");
        models = std::make_unique<test::ScopedMount>(test::data_dir() + "/models", "/models/");
        auto* m = new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu");
        model = orn::ref_ptr<Graphics::Model>(m);
        m->load_async();
        manager = m->get_animation_manager();
        if (!manager) return;
        cookie = m->createCookie();
        ShaderBlendSpace2D r;
        r.kind = BS_RECORD_2D;
        const char* clips[4] = {"idle", "idle_look", "walk_loop_slow", "walk_loop_fast"};
        for (int i = 0; i < 4; ++i) r.samples[i].clip = manager->get_animation_index(clips[i]);
        r.loop = 1.0f;
        r.weight_x = 0.3f;
        r.weight_y = 0.6f;
        // The record alone on the stack, in effect from time 0: every call evaluates the 2-D blend.
        static_cast<CharacterModelCookie*>(cookie.get())->set_stack({r});
    }
    CharacterModelCookie* character() { return static_cast<CharacterModelCookie*>(cookie.get()); }
};

Scene& scene() {
    static Scene s;
    return s;
}

void BM_InstanceMatrix2D(benchmark::State& state) {
    Scene& s = scene();
    if (!s.manager) {
        state.SkipWithError("sample data missing");
        return;
    }
    float t = 0.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.manager->get_instance_matrix(t, s.character()));
        t += 0.013f;
    }
}
BENCHMARK(BM_InstanceMatrix2D);

void BM_HandNodeWorldPos2D(benchmark::State& state) {
    Scene& s = scene();
    if (!s.manager) {
        state.SkipWithError("sample data missing");
        return;
    }
    const std::string hand = kHand;
    float t = 0.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.manager->get_node_world_pos(s.character(), hand, t));
        t += 0.013f;
    }
}
BENCHMARK(BM_HandNodeWorldPos2D);

// The whole character at once; the argument is the number of nodes a blend instruction takes (8 where
// the processor has AVX2, else 4; the counter `lanes` says which ran).
void BM_ModelTransforms2D(benchmark::State& state) {
    Scene& s = scene();
    if (!s.manager) {
        state.SkipWithError("sample data missing");
        return;
    }
    const bool wide = ClipRuntime::wide_lanes();
    ClipRuntime::set_wide_lanes(state.range(0) == 8);
    state.counters["lanes"] = ClipRuntime::wide_lanes() ? 8 : 4;
    std::vector<osg::Matrixf> out(static_cast<size_t>(s.manager->get_num_nodes()));
    float t = 0.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.manager->get_model_transforms(t, s.character(), out.data()));
        t += 0.013f;
    }
    ClipRuntime::set_wide_lanes(wide);
}
BENCHMARK(BM_ModelTransforms2D)->Arg(8)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
