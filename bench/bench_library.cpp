// Animation library costs: loading the sample skeleton type "biped" with one and two pool workers,
// single-node samples, root matrices and whole poses.
#include <chrono>
#include <memory>

#include <benchmark/benchmark.h>

#include "animator/library/AnimationManager.h"
#include "host/Tasks.h"
#include "host/Vfs.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

test::ScopedMount& data_mount() {
    static test::ScopedMount mount(test::data_dir() + "/animations", "/animations/");
    return mount;
}

AnimationManager& biped() {
    static std::unique_ptr<AnimationManager> m = [] {
        data_mount();
        auto p = std::make_unique<AnimationManager>("biped");
        p->init();
        return p;
    }();
    return *m;
}

void BM_LoadBiped(benchmark::State& state) {
    data_mount();
    const unsigned before = orn::get_pool_workers();
    orn::set_pool_workers(static_cast<unsigned>(state.range(0)));
    test::LogCapture quiet;
    for (auto _ : state) {
        // Wall time of construction and init only: destruction is not part of loading.
        const auto start = std::chrono::steady_clock::now();
        auto m = std::make_unique<AnimationManager>("biped");
        m->init();
        benchmark::DoNotOptimize(m->get_num_animations());
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        m.reset();
    }
    orn::set_pool_workers(before);
}
BENCHMARK(BM_LoadBiped)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_SampleAnimation(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() == 0) {
        state.SkipWithError("biped has no clips");
        return;
    }
    const int nodes = m.get_num_nodes();
    float t = 0.0f;
    int node = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.sample_animation(node, 0, t, true));
        t += 0.013f;
        node = (node + 1) % nodes;
    }
}
BENCHMARK(BM_SampleAnimation);

void BM_GetRootMatrix(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() == 0) {
        state.SkipWithError("biped has no clips");
        return;
    }
    float t = 0.0f;
    const osg::Vec3f loop(1, -1, -1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.get_root_matrix(0, t, loop));
        t += 0.013f;
    }
}
BENCHMARK(BM_GetRootMatrix);

void BM_GetPose(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() == 0) {
        state.SkipWithError("biped has no clips");
        return;
    }
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    float t = 0.0f;
    for (auto _ : state) {
        m.get_pose(0, t, world, true, bones);
        benchmark::DoNotOptimize(world.data());
        t += 0.013f;
    }
}
BENCHMARK(BM_GetPose)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
