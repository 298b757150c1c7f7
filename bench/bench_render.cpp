// Per-frame rendering of the sample characters through the reference host's frame.
//   BM_Submission: the model's per-instance render call alone (main pass, 10,000 characters), per
//                  instance and pass (recording back-end).
//   BM_HostFrame:  a whole frame on the host side (shadow, flat-shadow and main passes, batch
//                  drawing with its uploads and draw calls, end of frame) on the recording back-end
//                  with the compute pass switched off, since that back-end evaluates it in C++ where a
//                  GPU would; 1,000 and 10,000 characters.
//   BM_GlFrame:    a whole frame on the OpenGL back-end at 640x360 until the GPU has finished
//                  (llvmpipe where there is no GPU); 1,000 characters, and 10,000 with
//                  ANIMATOR_BENCH_GPU=1.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/motion/AnimationController.h"
#include "animator/util/Clock.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "refhost/Frame.h"
#include "refhost/gl/GlBackend.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

class Placed : public Graphics::ModelInstance {
public:
    Placed(std::unique_ptr<model::ModelCookie> c, const osg::Matrixf& m) : cookie(std::move(c)), matrix(m) {}
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return matrix; }
    std::unique_ptr<model::ModelCookie> cookie;
    osg::Matrixf matrix;
};

// The sample model loaded on one back-end with `count` walking characters on a grid.
struct Scene {
    test::LogCapture log{true};
    std::shared_ptr<render::Backend> backend;
    std::unique_ptr<test::ScopedMount> animations, models, shaders;
    orn::ref_ptr<CharacterModelStatic> model;
    std::vector<std::unique_ptr<Placed>> crowd;
    std::vector<refhost::Frame::Item> items;

    Scene(std::shared_ptr<render::Backend> b, int count) : backend(std::move(b)) {
        if (!backend || !std::ifstream(test::data_dir() + "/models/biped.chanimgpu")) return;
        render::set_backend(backend);
        animations = std::make_unique<test::ScopedMount>(test::data_dir() + "/animations", "/animations/");
        models = std::make_unique<test::ScopedMount>(test::data_dir() + "/models", "/models/");
        shaders = std::make_unique<test::ScopedMount>(std::string(ANIMATOR_SOURCE_DIR) + "/refhost/shaders", "/shaders/");
        model = orn::ref_ptr<CharacterModelStatic>(new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu"));
        model->load_async();
        for (int i = 0; i < count; ++i) {
            const osg::Vec3f at(float(i % 100 - 50) * 1.5f, 0.0f, 4.0f + float(i / 100) * 1.5f);
            crowd.push_back(std::make_unique<Placed>(model->createCookie(), osg::Matrixf::translate(at)));
            auto* c = static_cast<CharacterModelCookie*>(crowd.back()->cookie.get());
            c->set_extern_pos_update(true);
            AnimationController controller(c);
            controller.change_animation_state(0.0f, "Idle", true);
            controller.move(0.1f * float(i % 10), 0.0f, 1.5f, 0.0f, 100.0f);
        }
        for (auto& p : crowd) items.push_back({model.get(), p.get()});
    }
    ~Scene() {
        crowd.clear();
        model = orn::ref_ptr<CharacterModelStatic>();
        Animator::destroy_animation_managers();
        render::set_backend(nullptr);
    }
    bool ok() const { return model && model->get_animation_manager(); }
};

const Graphics::Camera& camera() {
    static const Graphics::Camera c =
        refhost::Frame::look_at(osg::Vec3d(0, 8, -10), osg::Vec3d(0, 0, 30), 60.0, 640.0 / 360.0, 0.5, 400.0);
    return c;
}

void BM_Submission(benchmark::State& state) {
    Scene scene(std::make_shared<render::CpuBackend>(), static_cast<int>(state.range(0)));
    if (!scene.ok()) return state.SkipWithError("no sample data");
    Animator::set_time_callback([] { return 1.0; });
    Graphics::Context context;
    context.camera = camera();
    refhost::PassQueue queue(100, "MainQueue");
    const wPosition3<float> pos;
    for (auto _ : state) {
        ++context.frame_number;
        Graphics::Context::setCurrentContext(context);
        queue.clear();
        for (auto& p : scene.crowd) scene.model->render(*p, queue, pos);
        state.PauseTiming();
        Graphics::raiseRendererEvent(8);
        Graphics::frameHeapReset();
        state.ResumeTiming();
    }
    Animator::set_time_callback(nullptr);
    state.counters["ns_per_instance"] = benchmark::Counter(
        double(state.iterations()) * double(state.range(0)), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Submission)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_HostFrame(benchmark::State& state) {
    auto cpu = std::make_shared<render::CpuBackend>();
    Scene scene(cpu, static_cast<int>(state.range(0)));
    if (!scene.ok()) return state.SkipWithError("no sample data");
    CharacterModelBase::_compute_enabled = false;
    refhost::Frame frame;
    double t = 1.0;
    Animator::set_time_callback([&t] { return t; });
    for (auto _ : state) {
        t += 1.0 / 60.0;
        frame.draw(scene.items, camera(), camera(), t, refhost::Frame::Options());
        state.PauseTiming();
        cpu->clear();
        state.ResumeTiming();
    }
    CharacterModelBase::_compute_enabled = true;
    Animator::set_time_callback(nullptr);
}
BENCHMARK(BM_HostFrame)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_GlFrame(benchmark::State& state) {
    render::GlBackend::Options size;
    size.width = 640;
    size.height = 360;
    auto gl = render::GlBackend::create(size);
    if (!gl) return state.SkipWithError("no OpenGL 4.5 context");
    Scene scene(gl, static_cast<int>(state.range(0)));
    if (!scene.ok()) return state.SkipWithError("no sample data");
    refhost::Frame frame;
    const Graphics::Camera light = refhost::Frame::directional_light(refhost::Frame::SUN, camera(), scene.items);
    double t = 1.0;
    Animator::set_time_callback([&t] { return t; });
    for (auto _ : state) {
        t += 1.0 / 60.0;
        frame.draw(scene.items, camera(), light, t, refhost::Frame::Options());
        gl->finish();
    }
    Animator::set_time_callback(nullptr);
}
BENCHMARK(BM_GlFrame)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

struct GpuCounts {
    GpuCounts() {
        if (std::getenv("ANIMATOR_BENCH_GPU"))
            benchmark::RegisterBenchmark("BM_GlFrame", BM_GlFrame)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
} g_gpu_counts;

}  // namespace

BENCHMARK_MAIN();
