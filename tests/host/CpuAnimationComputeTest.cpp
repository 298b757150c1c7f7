// The CPU back-end's animation passes read the frames rearranged for their lanes once per content of
// the frame and clip buffers: the poses must be the very ones read from the buffers themselves, for
// four and eight lanes, for clips that lie wholly or partly in the buffer, and a change of the frames
// must be seen by the next dispatch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/instance/InstanceData.h"
#include "host/Render.h"
#include "refhost/CpuAnimationCompute.h"
#include "refhost/CpuBackend.h"

namespace {

using API = render::RenderAPI;
using Animator::ShaderBlendSpace2D;

constexpr int NODES = 11;  // not a whole number of lanes
constexpr int TICKS = 5;

struct Frame {
    float rotation[4];
    float translation[4];
};
struct ClipInfo {
    uint32_t first, nodes;
    int32_t frames;
    float rate;
    float vector[4];
};

// Three clips of five ticks at 10 per second: the first two lie in the frame buffer, the third runs
// past its end (its last nodes read as the identity).
struct Library {
    std::vector<Frame> frames;
    std::vector<ClipInfo> clips;

    Library() {
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        frames.resize(2 * NODES * TICKS + 3 * TICKS);
        for (Frame& f : frames) {
            float q[4], length = 0.0f;
            for (float& c : q) c = unit(rng), length += c * c;
            for (int i = 0; i < 4; ++i) f.rotation[i] = q[i] / std::sqrt(length);
            for (int i = 0; i < 3; ++i) f.translation[i] = unit(rng);
            f.translation[3] = 1.0f;
        }
        for (uint32_t c = 0; c < 3; ++c)
            clips.push_back({c * NODES * TICKS, NODES, TICKS, 10.0f, {0.0f, 0.0f, 0.0f, 0.0f}});
    }
};

ShaderBlendSpace2D record(uint32_t kind, float a, float b, float c, float d) {
    ShaderBlendSpace2D r;
    r.kind = kind;
    const float clips[4] = {a, b, c, d};
    for (int k = 0; k < 4; ++k) r.samples[k].clip = clips[k];
    r.loop = 1.0f;
    r.weight_x = 0.3f;
    r.weight_y = 0.8f;
    return r;
}

template <class T> render::CpuAnimationCompute::In span(const std::vector<T>& v) {
    return {reinterpret_cast<const uint8_t*>(v.data()), v.size() * sizeof(T)};
}

// The local matrices of one instance on `rec` at `time`, evaluated by the passes straight from the
// given buffers (no contents known, so nothing is rearranged).
std::vector<float> from_buffers(const Library& lib, const ShaderBlendSpace2D& rec, float time) {
    Animator::InstanceData data;
    data.id = 0;
    data.stack[0] = 0;
    data.stack_size = 1;
    const std::vector<Animator::InstanceData> instances{data};
    const std::vector<ShaderBlendSpace2D> records{rec};
    const std::vector<int32_t> indices{0};
    std::vector<float> out(16 * NODES, -1.0f);
    render::CpuAnimationCompute::Bindings b;
    b.num_nodes = NODES;
    b.animations = span(lib.frames);
    b.clips_info = span(lib.clips);
    b.per_instance_data = span(instances);
    b.per_instance_animations = span(records);
    b.instance_indices = span(indices);
    b.local_transforms_rw = {reinterpret_cast<uint8_t*>(out.data()), out.size() * sizeof(float)};
    b.model_time = time;
    render::CpuAnimationCompute::dispatch(0, b, 1);
    return out;
}

// The same through the CPU back-end, whose buffers know their contents.
class ThroughTheBackend {
public:
    explicit ThroughTheBackend(const Library& lib) {
        render::set_backend(_backend);
        _shader = API::openShader("animator/animation_compute.fx", {{"NUM_NODES", std::to_string(NODES)}});
        animations = API::createStructuredBuffer(sizeof(Frame), static_cast<uint32_t>(lib.frames.size()), 0,
                                                 lib.frames.data(), lib.frames.size() * sizeof(Frame), "frames");
        _clips = API::createStructuredBuffer(sizeof(ClipInfo), static_cast<uint32_t>(lib.clips.size()), 0,
                                             lib.clips.data(), lib.clips.size() * sizeof(ClipInfo), "clips");
        Animator::InstanceData data;
        data.id = 0;
        data.stack[0] = 0;
        data.stack_size = 1;
        _instances = API::createStructuredBuffer(sizeof data, 1, 0, &data, sizeof data, "instances");
        _records = API::createStructuredBuffer(sizeof(ShaderBlendSpace2D), 1, 0, nullptr, 0, "records");
        const int32_t index = 0;
        _indices = API::createStructuredBuffer(4, 1, 0, &index, 4, "indices");
        _out = API::createStructuredBuffer(64, NODES, 0, nullptr, 0, "out");
    }
    ~ThroughTheBackend() { render::set_backend(nullptr); }

    std::vector<float> evaluate(const ShaderBlendSpace2D& rec, float time) {
        _records->update(&rec, sizeof rec);
        API::beginTechnique(_shader, _shader->getTechnique("AnimationCompute"), 0);
        const std::pair<const char*, render::StructuredBuffer> bound[] = {
            {"animations", animations},   {"clips_info", _clips},       {"per_instance_data", _instances},
            {"per_instance_animations", _records}, {"instance_indices", _indices}, {"local_transforms_rw", _out}};
        for (const auto& [name, buffer] : bound) API::bindBuffer(_shader->getVariable(name), buffer);
        API::setFloat(_shader->getVariable("model_time"), time);
        API::commit();
        API::dispatch(0, 1, 1, 1);
        API::endPass();
        std::vector<float> out(16 * NODES, -1.0f);
        EXPECT_TRUE(_out->read(out.data(), out.size() * sizeof(float)));
        return out;
    }

    render::StructuredBuffer animations;

private:
    std::shared_ptr<render::CpuBackend> _backend = std::make_shared<render::CpuBackend>();
    render::ShaderPtr _shader;
    render::StructuredBuffer _clips, _instances, _records, _indices, _out;
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(CpuAnimationCompute, RearrangedFramesPoseExactlyAsTheBuffersDo) {
    const Library lib;
    ThroughTheBackend backend(lib);
    const ShaderBlendSpace2D records[] = {
        record(Animator::BS_RECORD_CLIP, 0, 0, 0, 0), record(Animator::BS_RECORD_CLIP, 2, 0, 0, 0),
        record(Animator::BS_RECORD_1D, 0, 1, 0, 0), record(Animator::BS_RECORD_2D, 0, 1, 2, 1),
        record(Animator::BS_RECORD_2D, 1, 0, 0, 2)};
    for (int lanes : {4, 8}) {
        const int before = render::CpuAnimationCompute::set_max_lanes(lanes);
        for (const ShaderBlendSpace2D& rec : records)
            for (float time : {0.0f, 0.13f, 0.25f, 0.399f, 1.7f}) {
                const std::vector<float> expected = from_buffers(lib, rec, time);
                ASSERT_NE(expected[15], -1.0f);
                EXPECT_TRUE(same_bits(backend.evaluate(rec, time), expected))
                    << lanes << " lanes, record kind " << rec.kind << ", clip " << rec.samples[0].clip
                    << ", t=" << time;
            }
        render::CpuAnimationCompute::set_max_lanes(before);
    }
    // The third clip's last nodes lie past the frames: they read as the identity.
    const std::vector<float> partial = backend.evaluate(records[1], 0.0f);
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&partial[16 * (NODES - 1)], identity, sizeof identity), 0);
}

TEST(CpuAnimationCompute, TheNextDispatchReadsChangedFrames) {
    Library lib;
    ThroughTheBackend backend(lib);
    const ShaderBlendSpace2D rec = record(Animator::BS_RECORD_2D, 0, 1, 1, 0);
    const std::vector<float> first = backend.evaluate(rec, 0.1f);
    ASSERT_TRUE(same_bits(first, from_buffers(lib, rec, 0.1f)));
    // Node 3 of the first clip turns half-way round at every tick.
    for (int tick = 0; tick < TICKS; ++tick) {
        Frame& f = lib.frames[3 * TICKS + tick];
        f = {{0.0f, 0.0f, 1.0f, 0.0f}, {1.0f, 2.0f, 3.0f, 1.0f}};
        ASSERT_TRUE(backend.animations->update(&f, sizeof f, (3 * TICKS + tick) * sizeof(Frame)));
    }
    const std::vector<float> second = backend.evaluate(rec, 0.1f);
    EXPECT_FALSE(same_bits(first, second));
    EXPECT_TRUE(same_bits(second, from_buffers(lib, rec, 0.1f)));
}

}  // namespace
