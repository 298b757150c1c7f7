// The OpenGL back-end: context, effect files, compute passes, buffers and their threads.
#include <atomic>
#include <thread>

#include "tests/host/gl/GlTestSupport.h"

namespace {

using gltest::read_all;

// Pass 0 scales `source` into `scaled` and adds an int; pass 1 reads what pass 0 wrote. Pass 2 applies
// a matrix to points; pass 3 writes the stage defines it was compiled with.
const char* const SCALE_EFFECT = R"(
#pragma technique Scale pass 0 compute:scale
#pragma technique Scale pass 1 compute:neighbours
#pragma technique Scale pass 2 compute:transform
#pragma   technique Probe pass 3 compute:probe
#if defined(COMPUTE_STAGE)
layout(local_size_x = 4) in;
buffer source_values { float source[]; };
buffer scaled_values { float scaled[]; };
buffer neighbour_sums { float sums[]; };
buffer points { vec4 point[]; };
uniform float factor;
uniform int offset;
uniform mat4 placement;
uniform vec4 weights;  // not a type variables have

void scale() {
    uint i = gl_GlobalInvocationID.x;
    if (i < uint(source.length())) scaled[i] = source[i] * factor + float(offset) + BIAS;
}
void neighbours() {
    uint i = gl_GlobalInvocationID.x;
    uint n = uint(scaled.length());
    if (i < n) sums[i] = scaled[i] + scaled[(i + 1u) % n];
}
void transform() {
    uint i = gl_GlobalInvocationID.x;
    if (i < uint(point.length())) point[i] = placement * point[i];
}
void probe() {
#if defined(TECHNIQUE_Probe) && PASS_INDEX == 3
    if (gl_GlobalInvocationID.x == 0u) sums[0] = float(PASS_INDEX) + BIAS + weights.x;
#endif
}
#endif
)";

class GlComputeTest : public gltest::GlBackendTest {
protected:
    render::ShaderPtr open_scale(const char* bias = "0.5") {
        write_effect("test/scale.fx", SCALE_EFFECT);
        return backend->openShader("test/scale.fx", {{"BIAS", bias}});
    }
    render::StructuredBuffer floats(const std::vector<float>& values, uint32_t count, const char* tag) {
        return backend->createStructuredBuffer(4, count, 5, values.data(), values.size() * 4, tag);
    }
};

TEST_F(GlComputeTest, ContextIsOpenGl45CoreAndSeveralBackendsShareTheDisplay) {
    const std::string renderer = backend->renderer();
    const size_t bar = renderer.find(" | ");
    ASSERT_NE(bar, std::string::npos) << renderer;
    EXPECT_GT(bar, 0u) << "renderer name";
    int major = 0, minor = 0;
    ASSERT_EQ(std::sscanf(renderer.c_str() + bar + 3, "%d.%d", &major, &minor), 2) << renderer;
    EXPECT_TRUE(major > 4 || (major == 4 && minor >= 5)) << renderer;
    std::printf("OpenGL back-end: %s\n", renderer.c_str());

    // A second back-end made and dropped leaves the first one working.
    auto second = render::GlBackend::create();
    ASSERT_NE(second, nullptr);
    auto other = second->createStructuredBuffer(4, 4, 0, nullptr, 0, "other");
    second.reset();
    auto buffer = floats({1, 2, 3}, 3, "after");
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(read_all<float>(buffer), (std::vector<float>{1, 2, 3}));
    EXPECT_FALSE(other->update(&major, 4) || other->read(&major, 4)) << "a buffer of a back-end that is gone";
}

TEST_F(GlComputeTest, PassesReadBuffersAndUniformsAndALaterPassSeesWhatAnEarlierOneWrote) {
    auto shader = open_scale();
    ASSERT_NE(shader, nullptr);
    EXPECT_EQ(shader->file(), "test/scale.fx");
    const int scale = shader->getTechnique("Scale");
    ASSERT_GE(scale, 0);
    const std::vector<float> input{1, 2, 3, 4, 5, 6};
    auto source = floats(input, 6, "source");
    auto scaled = floats({}, 6, "scaled");
    auto sums = floats({}, 6, "sums");
    ASSERT_TRUE(source && scaled && sums);

    backend->beginTechnique(shader, scale, 0);
    backend->bindBuffer(shader->getVariable("source_values"), source);
    backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
    backend->setFloat(shader->getVariable("factor"), 2.0f);
    backend->setInt(shader->getVariable("offset"), 10);
    backend->commit();
    backend->dispatch(0, 2, 1, 1);
    backend->endPass();
    backend->beginTechnique(shader, scale, 1);
    backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
    backend->bindBuffer(shader->getVariable("neighbour_sums"), sums);
    backend->commit();
    backend->dispatch(1, 2, 1, 1);
    backend->endPass();

    const std::vector<float> expected_scaled{12.5f, 14.5f, 16.5f, 18.5f, 20.5f, 22.5f};
    EXPECT_EQ(read_all<float>(scaled), expected_scaled);
    std::vector<float> expected_sums;
    for (size_t i = 0; i < 6; ++i) expected_sums.push_back(expected_scaled[i] + expected_scaled[(i + 1) % 6]);
    EXPECT_EQ(read_all<float>(sums), expected_sums);
    EXPECT_EQ(read_all<float>(source), input) << "a read-only input is left as it was";

    // An update queued after the dispatches is what the next pass reads.
    const float patched[2] = {100, 200};
    ASSERT_TRUE(source->update(patched, sizeof(patched), 8));
    backend->beginTechnique(shader, scale, 0);
    backend->bindBuffer(shader->getVariable("source_values"), source);
    backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
    backend->setFloat(shader->getVariable("factor"), 1.0f);
    backend->setInt(shader->getVariable("offset"), 0);
    backend->commit();
    backend->dispatch(0, 2, 1, 1);
    backend->endPass();
    EXPECT_EQ(read_all<float>(scaled), (std::vector<float>{1.5f, 2.5f, 100.5f, 200.5f, 5.5f, 6.5f}));
}

TEST_F(GlComputeTest, MatricesApplyTheirRowVectorTransformAndDefinesReachEveryStage) {
    auto shader = open_scale("0.25");
    ASSERT_NE(shader, nullptr);
    const float in[8] = {1, 2, 3, 1, -1, 0, 0, 1};
    auto points = backend->createStructuredBuffer(16, 2, 12, in, sizeof(in), "points");
    ASSERT_NE(points, nullptr);
    // Scale by 2 then move by (10, 20, 30): the order a row vector meets the factors.
    const osg::Matrixf placement = osg::Matrixf::scale(2, 2, 2) * osg::Matrixf::translate(10, 20, 30);
    backend->beginTechnique(shader, shader->getTechnique("Scale"), 2);
    backend->bindBuffer(shader->getVariable("points"), points);
    backend->setMatrix(shader->getVariable("placement"), placement);
    backend->commit();
    backend->dispatch(2, 1, 1, 1);
    backend->endPass();
    const osg::Vec3f a = osg::Vec3f(1, 2, 3) * placement, b = osg::Vec3f(-1, 0, 0) * placement;
    EXPECT_EQ(read_all<float>(points), (std::vector<float>{a.x(), a.y(), a.z(), 1, b.x(), b.y(), b.z(), 1}));

    auto sums = floats({}, 1, "probe");
    backend->beginTechnique(shader, shader->getTechnique("Probe"), 3);
    backend->bindBuffer(shader->getVariable("neighbour_sums"), sums);
    backend->commit();
    backend->dispatch(3, 1, 1, 1);
    backend->endPass();
    EXPECT_EQ(read_all<float>(sums), std::vector<float>{3.25f}) << "PASS_INDEX, TECHNIQUE_Probe and BIAS";
}

TEST_F(GlComputeTest, HandlesOfOtherShadersUnknownNamesAndMissingPassesDoNothing) {
    auto shader = open_scale();
    write_effect("test/copy.fx", SCALE_EFFECT);
    auto other = backend->openShader("test/copy.fx", {{"BIAS", "0.0"}});
    ASSERT_TRUE(shader && other);
    EXPECT_NE(shader->id(), other->id());
    EXPECT_NE(shader->getVariable("factor"), other->getVariable("factor"));
    EXPECT_EQ(shader->getVariable("factor"), shader->getVariable("factor"));
    // A block member, a define and a vec4 uniform are not variables.
    for (const char* name : {"no_such_variable", "source", "BIAS", "weights", ""})
        EXPECT_EQ(shader->getVariable(name), -1) << name;
    EXPECT_EQ(shader->getVariable(nullptr), -1);
    EXPECT_EQ(shader->getTechnique("Missing"), -1);
    EXPECT_EQ(shader->getElement("POSITION0"), -1) << "a compute shader has no vertex inputs";

    auto source = floats({1, 2, 3, 4}, 4, "source");
    auto scaled = floats({}, 4, "scaled");
    test::LogCapture log;
    backend->beginTechnique(shader, shader->getTechnique("Scale"), 0);
    backend->bindBuffer(shader->getVariable("source_values"), source);
    backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
    backend->setFloat(other->getVariable("factor"), 100.0f);  // another shader's handle
    backend->setFloat(shader->getVariable("factor"), 3.0f);
    backend->setInt(shader->getVariable("offset"), 0);
    backend->setFloat(-1, 7.0f);
    backend->bindBuffer(-1, scaled);
    backend->bindBuffer(shader->getVariable("no_such_variable"), scaled);
    backend->commit();
    backend->dispatch(0, 1, 1, 1);
    backend->dispatch(7, 1, 1, 1);  // no pass 7: logged once
    backend->dispatch(7, 1, 1, 1);
    backend->endPass();
    backend->dispatch(0, 1, 1, 1);  // nothing begun
    backend->beginTechnique(nullptr, -1, 0);
    backend->commit();
    backend->dispatch(0, 1, 1, 1);
    backend->endPass();
    EXPECT_EQ(read_all<float>(scaled), (std::vector<float>{3.5f, 6.5f, 9.5f, 12.5f}));
    backend->finish();
    EXPECT_EQ(log.count(8, "has no pass 7"), 1u) << log.dump();
}

TEST_F(GlComputeTest, BuffersRefuseUpdatesAndReadsOutsideThemAndEmptyOnesStillBind) {
    test::LogCapture log;
    const std::vector<float> big(10, 7.0f);
    auto buffer = backend->createStructuredBuffer(8, 3, 5, big.data(), big.size() * 4, "cut");
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(log.has(8, "cut")) << "data longer than the buffer is cut, with an error";
    EXPECT_EQ(read_all<float>(buffer), std::vector<float>(6, 7.0f));
    EXPECT_TRUE(buffer->capacity() == 3u && buffer->element_size() == 8u && buffer->usage() == 5 &&
                buffer->kind() == render::BK_STRUCTURED && buffer->tag() == "cut");

    char bytes[32] = {};
    struct Case {
        size_t bytes, offset;
        bool fits;
    };
    for (const Case& c : {Case{24, 0, true}, Case{8, 16, true}, Case{0, 24, true}, Case{4, 24, false},
                          Case{25, 0, false}, Case{1, static_cast<size_t>(-1), false},
                          Case{static_cast<size_t>(-1), 4, false}}) {
        EXPECT_EQ(buffer->update(bytes, c.bytes, c.offset), c.fits) << c.bytes << " at " << c.offset;
        EXPECT_EQ(buffer->read(bytes, c.bytes, c.offset), c.fits) << c.bytes << " at " << c.offset;
    }

    auto empty = backend->createStructuredBuffer(16, 0, 12, nullptr, 0, "empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->capacity(), 0u);
    EXPECT_TRUE(empty->update(bytes, 0) && empty->read(bytes, 0));
    EXPECT_FALSE(empty->update(bytes, 4) || empty->read(bytes, 4));
    auto shader = open_scale();
    ASSERT_NE(shader, nullptr);
    backend->beginTechnique(shader, shader->getTechnique("Scale"), 0);
    backend->bindBuffer(shader->getVariable("source_values"), empty);
    backend->bindBuffer(shader->getVariable("scaled_values"), empty);
    backend->commit();
    backend->dispatch(0, 1, 1, 1);
    backend->endPass();
    backend->finish();
    EXPECT_EQ(log.count_tagged("RENDER", 8), 1u) << log.dump();
}

TEST_F(GlComputeTest, BuffersMadeOnWorkerThreadsServeTheMainThreadAndMayOutliveTheBackend) {
    auto shader = open_scale();
    ASSERT_NE(shader, nullptr);
    constexpr int WORKERS = 4, PER_WORKER = 6;
    std::vector<render::StructuredBuffer> made(WORKERS * PER_WORKER);
    std::vector<std::thread> workers;
    std::atomic<int> done{0};
    for (int w = 0; w < WORKERS; ++w)
        workers.emplace_back([&, w] {
            for (int i = 0; i < PER_WORKER; ++i) {
                const int k = w * PER_WORKER + i;
                const std::vector<float> values{float(k), float(k + 1), float(k + 2), float(k + 3)};
                made[static_cast<size_t>(k)] = floats(values, 4, "worker");
                float first = 0;
                made[static_cast<size_t>(k)]->read(&first, 4);
                EXPECT_EQ(first, float(k));
                floats(values, 4, "dropped at once");
            }
            ++done;
        });
    // Meanwhile the main thread keeps running passes of its own.
    auto scaled = floats({}, 4, "scaled");
    auto own = floats({1, 1, 1, 1}, 4, "own");
    for (int pass = 0; done < WORKERS; ++pass) {
        backend->beginTechnique(shader, shader->getTechnique("Scale"), 0);
        backend->bindBuffer(shader->getVariable("source_values"), own);
        backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
        backend->setFloat(shader->getVariable("factor"), 1.0f);
        backend->setInt(shader->getVariable("offset"), pass);
        backend->commit();
        backend->dispatch(0, 1, 1, 1);
        backend->endPass();
        float first = 0;
        if (!scaled->read(&first, 4) || first != 1.5f + float(pass)) {
            ADD_FAILURE() << "pass " << pass << " read " << first;
            break;  // the workers are still joined
        }
    }
    for (auto& t : workers) t.join();

    for (size_t k = 0; k < made.size(); ++k) {
        ASSERT_NE(made[k], nullptr);
        backend->beginTechnique(shader, shader->getTechnique("Scale"), 0);
        backend->bindBuffer(shader->getVariable("source_values"), made[k]);
        backend->bindBuffer(shader->getVariable("scaled_values"), scaled);
        backend->setFloat(shader->getVariable("factor"), 1.0f);
        backend->setInt(shader->getVariable("offset"), 0);
        backend->commit();
        backend->dispatch(0, 1, 1, 1);
        backend->endPass();
        const float k0 = float(k);
        ASSERT_EQ(read_all<float>(scaled), (std::vector<float>{k0 + 0.5f, k0 + 1.5f, k0 + 2.5f, k0 + 3.5f}));
    }

    // Released on other threads, some while the back-end lives, the rest after it is gone.
    std::thread([&] {
        for (size_t k = 0; k < made.size() / 2; ++k) made[k].reset();
    }).join();
    backend.reset();
    float value = 1;
    EXPECT_FALSE(made.back()->update(&value, 4) || made.back()->read(&value, 4));
    EXPECT_EQ(made.back()->capacity(), 4u);
    std::thread([&] {
        made.clear();
        shader.reset();
    }).join();
}

// Effect files that do not build: each answers null with a message naming what is wrong.
TEST_F(GlComputeTest, EffectFilesThatDoNotBuildAnswerNullWithTheReason) {
    struct Case {
        const char* file;
        const char* text;
        std::vector<std::string> message;
    };
    const Case cases[] = {
        {"missing.fx", nullptr, {"shader file 'missing.fx' not found"}},
        {"compile.fx",
         "#pragma technique Broken pass 0 compute:ok\n#pragma technique Broken pass 1 compute:bad\n"
         "layout(local_size_x = 1) in;\nvoid ok() {}\n#if PASS_INDEX == 1\nvoid bad() { undeclared_name = 1; }\n#endif\n",
         {"compile.fx", "technique 'Broken'", "pass 1", "compute stage", "undeclared_name"}},
        {"link.fx", "#pragma technique Draw pass 0 vertex:v fragment:f\n"
                    "#if defined(VERTEX_STAGE)\nvoid v() { gl_Position = vec4(0.0); }\n#endif\n"
                    "#if defined(FRAGMENT_STAGE)\nin vec4 never_written;\nout vec4 c;\nvoid f() { c = never_written; }\n#endif\n",
         {"link.fx", "technique 'Draw'", "pass 0", "does not link"}},
        {"pragma.fx", "#pragma technique Bad pass x compute:main_cs\n", {"pragma.fx", "line 1", "'x'"}},
        {"stage.fx", "\n#pragma technique Bad pass 0 geometry:g\n", {"stage.fx", "line 2", "geometry:g"}},
        {"twice.fx", "#pragma technique T pass 0 compute:a\n#pragma technique T pass 0 compute:b\n",
         {"twice.fx", "pass 0 twice"}},
        {"mixed.fx", "#pragma technique T pass 0 compute:a vertex:b\n", {"mixed.fx", "not both"}},
        {"none.fx", "void main() {}\n", {"none.fx", "no '#pragma technique' line"}},
    };
    for (const Case& c : cases) {
        if (c.text) write_effect(c.file, c.text);
        test::LogCapture log;
        EXPECT_EQ(backend->openShader(c.file, {}), nullptr) << c.file;
        ASSERT_EQ(log.count_tagged("RENDER", 8), 1u) << c.file << "\n" << log.dump();
        for (const std::string& part : c.message) EXPECT_TRUE(log.has(8, part)) << part << "\n" << log.dump();
    }
    test::LogCapture log;
    EXPECT_EQ(backend->openShader("", {}), nullptr);
    EXPECT_EQ(backend->openShader(nullptr, {}), nullptr);
    EXPECT_EQ(log.count_tagged("RENDER", 8), 2u);
}

}  // namespace
