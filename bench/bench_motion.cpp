// Cost of the motion queries: placing a character on a long smoothed route, planning a move, and one
// simulation step of AnimationController::update for 10,000 characters (ms per step, thread CPU time).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "animator/motion/AnimationController.h"
#include "animator/motion/CharacterController.h"
#include "animator/motion/RoutePlanner.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Clock.h"
#include "host/Graphics.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/support/TestSupport.h"

namespace {

// A zig-zag of 1,000 right-angle corners with legs of 4.
std::vector<osg::Vec3f> long_route() {
    std::vector<osg::Vec3f> p{osg::Vec3f(0, 0, 0)};
    for (int i = 0; i <= 1000; ++i) p.push_back(p.back() + (i % 2 ? osg::Vec3f(0, 0, -4) : osg::Vec3f(4, 0, 0)));
    return p;
}

void BM_TrajectoryPosition(benchmark::State& state) {
    Animator::CharacterController c;
    c.set_route(long_route(), wPosition3<float>(), nullptr);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(0.0f, c.get_segments_length());
    std::vector<float> distances(4096);
    for (float& d : distances) d = any(rng);
    size_t i = 0;
    osg::Matrixf m;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c.get_trajectory_position(distances[i++ & 4095], 0.0f, m));
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_TrajectoryPosition);

void BM_RouteSolve(benchmark::State& state) {
    const Animator::RoutePlan s(osg::Vec3f(0.5f, 0.5f, 0.5f), osg::Vec2f(0, 0));
    const Animator::RoutePlan l(osg::Vec3f(1.0f, 1.5f, 2.0f), osg::Vec2f(1, 2));
    float d = 3.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Animator::RoutePlanner::solve(s, l, s, d));
        d = d > 50.0f ? 3.0f : d + 0.37f;
    }
}
BENCHMARK(BM_RouteSolve);

// A whole move request on the sample character (route plans, stack rebuild, four records).
void BM_MovePlanning(benchmark::State& state) {
    test::LogCapture quiet;
    render::set_backend(std::make_shared<render::CpuBackend>());
    test::ScopedMount animations(test::data_dir() + "/animations", "/animations/");
    test::ScopedMount models(test::data_dir() + "/models", "/models/");
    Animator::set_time_callback([] { return 0.0; });
    {
        orn::ref_ptr<Animator::CharacterModelStatic> model(
            new Animator::CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        Animator::CharacterModelCookie cookie(model.get());
        Animator::AnimationController controller(&cookie);
        controller.change_animation_state(0.0f, "Idle", true);
        for (auto _ : state) benchmark::DoNotOptimize(controller.move(0.0f, 0.0f, 1.5f, 0.0f, 6.0f));
    }
    Animator::set_time_callback(nullptr);
    Animator::destroy_animation_managers();
    render::set_backend(nullptr);
}
BENCHMARK(BM_MovePlanning);

// 10,000 characters of the sample model: three in four idle, one in four walking a route, each started
// at its own time; one iteration updates them all at the next 30 Hz step.
void BM_ControllerUpdate10k(benchmark::State& state) {
    test::LogCapture quiet;
    render::set_backend(std::make_shared<render::CpuBackend>());
    test::ScopedMount animations(test::data_dir() + "/animations", "/animations/");
    test::ScopedMount models(test::data_dir() + "/models", "/models/");
    Animator::set_time_callback([] { return 0.0; });
    {
        orn::ref_ptr<Animator::CharacterModelStatic> model(
            new Animator::CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        const int count = 10000;
        std::vector<std::unique_ptr<Animator::CharacterModelCookie>> cookies;
        std::vector<std::unique_ptr<Animator::AnimationController>> controllers;
        cookies.reserve(count);
        controllers.reserve(count);
        for (int i = 0; i < count; ++i) {
            cookies.push_back(std::make_unique<Animator::CharacterModelCookie>(model.get()));
            controllers.push_back(std::make_unique<Animator::AnimationController>(cookies.back().get()));
            const float start = 0.01f * static_cast<float>(i % 300);
            controllers.back()->change_animation_state(start, "Idle", true);
            if (i % 4 == 3) controllers.back()->move(start, 0.0f, 1.5f, 0.0f, 6.0f + static_cast<float>(i % 7));
        }
        float t = 3.0f;
        for (auto _ : state) {
            for (auto& c : controllers) benchmark::DoNotOptimize(c->update(t, false));
            t += 1.0f / 30.0f;
        }
        state.counters["characters"] = count;
    }
    Animator::set_time_callback(nullptr);
    Animator::destroy_animation_managers();
    render::set_backend(nullptr);
}
BENCHMARK(BM_ControllerUpdate10k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
