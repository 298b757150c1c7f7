// Animation library costs: loading the sample skeleton type "biped" with one and two pool workers
// and the speed-up between them, single-node samples, root matrices, whole poses of one clip, every
// node of a 2-D record of four clips chained to model space, and the instance matrix of that record.
// Times are thread CPU time per call (per whole character where a benchmark poses one).
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

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

// Wall time of one load of "biped": its init. Construction is left out, as it happens for every
// skeleton type at once when the registry is filled; destruction is not part of loading either.
double load_biped_ms() {
    auto m = std::make_unique<AnimationManager>("biped");
    const auto start = std::chrono::steady_clock::now();
    m->init();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(m->get_num_animations());
    return ms;
}

// The fastest of a few loads: a load that the machine interrupted says nothing about the loader.
double best_load_ms(int tries) {
    double best = load_biped_ms();
    for (int i = 1; i < tries; ++i) best = std::min(best, load_biped_ms());
    return best;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void BM_LoadBiped(benchmark::State& state) {
    data_mount();
    const unsigned before = orn::get_pool_workers();
    orn::set_pool_workers(static_cast<unsigned>(state.range(0)));
    test::LogCapture quiet;
    for (auto _ : state) state.SetIterationTime(load_biped_ms() / 1000.0);
    orn::set_pool_workers(before);
}
BENCHMARK(BM_LoadBiped)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime();

// Loads on one and on two workers in turn, so that a slow stretch of a shared machine weighs on both
// alike. Each iteration takes the best of three loads on each; "speedup" is the median over the
// iterations of one worker's time over two workers' time.
void BM_LoadBipedSpeedup(benchmark::State& state) {
    data_mount();
    const unsigned before = orn::get_pool_workers();
    test::LogCapture quiet;
    std::vector<double> one, two, ratio;
    for (auto _ : state) {
        orn::set_pool_workers(1);
        load_biped_ms();  // the new pool settles
        const double a = best_load_ms(3);
        orn::set_pool_workers(2);
        load_biped_ms();
        const double b = best_load_ms(3);
        one.push_back(a);
        two.push_back(b);
        ratio.push_back(a / b);
    }
    orn::set_pool_workers(before);
    state.counters["ms_1_worker"] = median(one);
    state.counters["ms_2_workers"] = median(two);
    state.counters["speedup"] = median(ratio);
}
BENCHMARK(BM_LoadBipedSpeedup)->Iterations(200)->Unit(benchmark::kMillisecond);

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

// The record of the sample character's 2-D blend space: idle, looking idle, slow and fast walk.
ShaderBlendSpace2D record_2d(const AnimationManager& m) {
    ShaderBlendSpace2D r;
    r.kind = BS_RECORD_2D;
    const char* clips[4] = {"idle", "idle_look", "walk_loop_slow", "walk_loop_fast"};
    for (int i = 0; i < 4; ++i) r.samples[i].clip = m.get_animation_index(clips[i]);
    r.loop = 1.0f;
    r.weight_x = 0.3f;
    r.weight_y = 0.6f;
    return r;
}

// The biped's nodes parents first (by the length of the path to the root), and each one's parent.
struct ParentsFirst {
    std::vector<int> order, parent;
    explicit ParentsFirst(const AnimationManager& m) {
        const int n = m.get_num_nodes();
        order.resize(static_cast<size_t>(n));
        parent.assign(static_cast<size_t>(n), -1);
        for (int i = 0; i < n; ++i) {
            order[i] = i;
            const auto& path = m.get_node_paths()[i];
            if (path.size() > 1) parent[i] = static_cast<int>(path[1]);
        }
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return m.get_node_paths()[a].size() < m.get_node_paths()[b].size();
        });
    }
};

// Every node's local transform under the record, each chained onto its parent's model-space one
// (osg's product, in place): what a caller of the node queries pays for a whole character. The
// argument is the number of nodes a blend instruction takes (8 where the processor has AVX2, else
// 4; the counter `lanes` says which ran).
void BM_RecordNodesToModelSpace2D(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() < 4) {
        state.SkipWithError("biped has too few clips");
        return;
    }
    const bool wide = ClipRuntime::wide_lanes();
    ClipRuntime::set_wide_lanes(state.range(0) == 8);
    state.counters["lanes"] = ClipRuntime::wide_lanes() ? 8 : 4;
    const ShaderBlendSpace2D r = record_2d(m);
    const ParentsFirst nodes(m);
    std::vector<osg::Matrixf> model(nodes.order.size());
    float t = 0.0f;
    for (auto _ : state) {
        for (int i : nodes.order) {
            if (nodes.parent[i] >= 0)
                model[i].mult(m.get_bs_node_matrix(i, t, r), model[nodes.parent[i]]);
            else
                model[i] = m.get_bs_node_matrix(i, t, r);
        }
        benchmark::DoNotOptimize(model.data());
        t += 0.013f;
    }
    state.counters["nodes"] = static_cast<double>(model.size());
    ClipRuntime::set_wide_lanes(wide);
}
BENCHMARK(BM_RecordNodesToModelSpace2D)->Arg(8)->Arg(4)->Unit(benchmark::kMicrosecond);

// The caller's share of the figure above: the same chaining of local matrices already at hand.
void BM_ChainToModelSpace(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() < 4) {
        state.SkipWithError("biped has too few clips");
        return;
    }
    const ShaderBlendSpace2D r = record_2d(m);
    const ParentsFirst nodes(m);
    std::vector<osg::Matrixf> local(nodes.order.size()), model(nodes.order.size());
    for (size_t i = 0; i < local.size(); ++i) local[i] = m.get_bs_node_matrix(static_cast<int>(i), 0.5f, r);
    for (auto _ : state) {
        for (int i : nodes.order) {
            if (nodes.parent[i] >= 0)
                model[i].mult(local[i], model[nodes.parent[i]]);
            else
                model[i] = local[i];
        }
        benchmark::DoNotOptimize(model.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ChainToModelSpace)->Unit(benchmark::kMicrosecond);

void BM_RecordInstanceMatrix2D(benchmark::State& state) {
    AnimationManager& m = biped();
    if (m.get_num_animations() < 4) {
        state.SkipWithError("biped has too few clips");
        return;
    }
    const ShaderBlendSpace2D r = record_2d(m);
    float t = 0.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m._get_instance_matrix(t, r));
        t += 0.013f;
    }
}
BENCHMARK(BM_RecordInstanceMatrix2D);

}  // namespace

BENCHMARK_MAIN();
