// The OpenGL back-end on whatever context the machine gives (Mesa's software rasteriser without a
// GPU): the cost of a compute pass as the plug-in issues it (begin, bindings, commit, dispatch, end)
// through the GL thread, of a buffer update and of a read-back round trip.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "refhost/gl/GlBackend.h"
#include "tests/support/TestSupport.h"

namespace {

const char* const EFFECT = R"(#pragma technique Add pass 0 compute:add
#if defined(COMPUTE_STAGE)
layout(local_size_x = 64) in;
buffer inputs { float a[]; };
buffer outputs { float b[]; };
uniform float amount;
void add() {
    uint i = gl_GlobalInvocationID.x;
    if (i < uint(a.length())) b[i] = a[i] + amount;
}
#endif
)";

struct Fixture {
    test::LogCapture log{true};
    test::TempDir dir;
    std::unique_ptr<test::ScopedMount> mount;
    std::shared_ptr<render::GlBackend> backend;
    render::ShaderPtr shader;
    render::StructuredBuffer in, out;
    int technique = -1, inputs = -1, outputs = -1, amount = -1;

    explicit Fixture(uint32_t count) {
        dir.write("bench.fx", EFFECT);
        mount = std::make_unique<test::ScopedMount>(dir.path(), "/shaders/");
        backend = render::GlBackend::create();
        if (!backend) return;
        shader = backend->openShader("bench.fx", {});
        if (!shader) return;
        std::vector<float> values(count, 1.0f);
        in = backend->createStructuredBuffer(4, count, 5, values.data(), values.size() * 4, "in");
        out = backend->createStructuredBuffer(4, count, 12, nullptr, 0, "out");
        technique = shader->getTechnique("Add");
        inputs = shader->getVariable("inputs");
        outputs = shader->getVariable("outputs");
        amount = shader->getVariable("amount");
    }
    bool ok() const { return shader && in && out; }
    void pass(float value, uint32_t groups) {
        backend->beginTechnique(shader, technique, 0);
        backend->bindBuffer(inputs, in);
        backend->bindBuffer(outputs, out);
        backend->setFloat(amount, value);
        backend->commit();
        backend->dispatch(0, groups, 1, 1);
        backend->endPass();
    }
};

// One compute pass over `count` floats, the GL thread's queue drained every 64 passes.
void BM_ComputePass(benchmark::State& state) {
    const uint32_t count = static_cast<uint32_t>(state.range(0));
    Fixture f(count);
    if (!f.ok()) {
        state.SkipWithError("no OpenGL back-end");
        return;
    }
    int n = 0;
    for (auto _ : state) {
        f.pass(float(n), (count + 63) / 64);
        if (++n % 64 == 0) f.backend->finish();
    }
    f.backend->finish();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComputePass)->Arg(64)->Arg(64 * 1024)->Unit(benchmark::kMicrosecond);

// An update of the whole input from the calling thread followed by a read-back of one float.
void BM_UpdateAndReadBack(benchmark::State& state) {
    const uint32_t count = static_cast<uint32_t>(state.range(0));
    Fixture f(count);
    if (!f.ok()) {
        state.SkipWithError("no OpenGL back-end");
        return;
    }
    std::vector<float> values(count, 2.0f);
    float first = 0;
    for (auto _ : state) {
        f.in->update(values.data(), values.size() * 4);
        f.in->read(&first, 4);
        benchmark::DoNotOptimize(first);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count * 4);
}
BENCHMARK(BM_UpdateAndReadBack)->Arg(1024)->Arg(256 * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
