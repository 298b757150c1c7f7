// The GPU side of the library: how clips are packed, how the compute passes are bound and dispatched,
// and that their evaluation (here on the recording back-end's CPU twin of the shader) poses characters
// exactly as the library's own evaluation does.
#include "animator/instance/GpuAnimation.h"
#include "animator/instance/InstanceData.h"

#include <cmath>
#include <cstring>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "animator/util/Clock.h"
#include "refhost/CpuAnimationCompute.h"
#include "refhost/CpuBackend.h"
#include "tests/instance/ComputeContract.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/SampleBiped.h"

namespace {

using Animator::AnimationManager;
using Animator::GpuAnimation;
using Animator::ShaderBlendSpace2D;
using libtest::Frame;

// A skeleton type of `nodes` nodes in a chain under the type's root bone ("b1", "b2", ...), loaded on
// the recording back-end.
struct PackedType {
    explicit PackedType(const std::string& name, int chain = 2) : type(name, false) {
        std::string s = "skeleton = { [\"" + name + "\"] = { m = " + libtest::translation_m(0, 1, 0) + ", children = { ";
        std::string close;
        for (int i = 1; i <= chain; ++i) {
            s += "b" + std::to_string(i) + " = { m = " + libtest::translation_m(0.1f * i, 0.2f, 0) + ", children = { ";
            close += " } }";
        }
        type.write(name + ".skel", s + close + " } } }\n");
        render::set_backend(backend);
    }
    ~PackedType() { render::set_backend(test::biped_backend()); }
    std::unique_ptr<AnimationManager> load() {
        test::LogCapture quiet;
        return type.load();
    }

    std::shared_ptr<render::CpuBackend> backend = std::make_shared<render::CpuBackend>();
    libtest::SkeletonType type;
};

const GpuAnimation::Frame& frame(const GpuAnimation& g, int clip, int node, int f) {
    const GpuAnimation::ClipInfo& c = g.clips()[clip];
    return g.frames()[c.first + node * c.frames + f];
}

TEST(GpuPacking, FramesPerTickRestFramesAndSingleKeys) {
    PackedType t("packed");
    std::vector<aiQuatKey> turning;
    for (int k = 0; k <= 30; ++k) turning.emplace_back(k, aiQuaternion(aiVector3D(0, 1, 0), 0.05f * k));
    // "a": 30 ticks, b1 turns with a single position key; "b": 10 ticks moving the root.
    t.type.clip("a.assbin", libtest::assbin_clip(30, 30, {libtest::make_channel("b1", {{0, {1, 2, 3}}}, turning)}));
    std::vector<Frame> root = libtest::walk_frames(11, 0.1f);
    t.type.clip("b.lua", libtest::clip_descriptor(30, 10, {{"b1", root}}));
    auto m = t.load();
    const GpuAnimation* g = m->get_gpu_animation();
    ASSERT_NE(g, nullptr);
    const int n = m->get_num_nodes();
    const int a = m->get_animation_index("a"), b = m->get_animation_index("b");
    ASSERT_EQ(g->clips().size(), 2u);

    EXPECT_EQ(g->clips()[a].frames, 31);
    EXPECT_EQ(g->clips()[b].frames, 11);
    EXPECT_EQ(g->clips()[a].nodes, static_cast<uint32_t>(n));
    EXPECT_EQ(g->clips()[1].first, g->clips()[0].first + static_cast<uint32_t>(n * g->clips()[0].frames));
    EXPECT_EQ(g->frames().size(), static_cast<size_t>(n * (31 + 11)));
    EXPECT_FLOAT_EQ(g->clips()[a].rate, 30.0f);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(g->clips()[a].vector[k], 1.0f) << "a clip without an entry";

    const int b1 = m->get_node_id("b1"), b2 = m->get_node_id("b2");
    for (int f : {0, 7, 30}) {
        const GpuAnimation::Frame& x = frame(*g, a, b1, f);
        EXPECT_FLOAT_EQ(x.translation[0], 1.0f) << "the one position key at frame " << f;
        EXPECT_FLOAT_EQ(x.translation[2], 3.0f);
        EXPECT_FLOAT_EQ(x.translation[3], 1.0f) << "unscaled";
        EXPECT_NEAR(x.rotation[1], std::sin(0.025f * f), 1e-6f) << "rotation key of frame " << f;
        EXPECT_NEAR(x.rotation[3], std::cos(0.025f * f), 1e-6f);
        // b2 has no channel: its rest transform every frame.
        const GpuAnimation::Frame& rest = frame(*g, a, b2, f);
        EXPECT_FLOAT_EQ(rest.translation[0], 0.2f);
        EXPECT_FLOAT_EQ(rest.translation[1], 0.2f);
        EXPECT_FLOAT_EQ(rest.rotation[3], 1.0f);
    }
    EXPECT_NEAR(frame(*g, b, b1, 10).translation[0], 1.0f, 1e-6f);
    EXPECT_NEAR(frame(*g, b, b1, 4).translation[0], 0.4f, 1e-6f);

    // Node paths: P ids per node, unused entries 0.
    const int p = m->get_longest_path();
    ASSERT_EQ(g->node_paths().size(), static_cast<size_t>(n * p));
    const auto& path = m->get_node_paths()[b2];
    for (int k = 0; k < p; ++k)
        EXPECT_EQ(g->node_paths()[b2 * p + k], k < static_cast<int>(path.size()) ? static_cast<int>(path[k]) : 0);

    // The buffers hold the packed arrays; the shader is opened with the node count and path length.
    const auto buffers = t.backend->buffers_tagged("ANIMATOR");
    ASSERT_EQ(buffers.size(), 4u);
    EXPECT_EQ(buffers[0]->element_size(), 32u);
    EXPECT_EQ(buffers[0]->capacity(), g->frames().size());
    EXPECT_EQ(buffers[0]->usage(), 5);
    EXPECT_EQ(std::memcmp(buffers[0]->contents().data(), g->frames().data(), g->frames().size() * 32), 0);
    EXPECT_EQ(buffers[2]->element_size(), static_cast<uint32_t>(4 * p));
    ASSERT_EQ(t.backend->shaders().size(), 1u);
    EXPECT_EQ(t.backend->shaders()[0]->file(), "animator/animation_compute.fx");
    EXPECT_EQ(t.backend->shaders()[0]->define("NUM_NODES"), std::to_string(n));
    EXPECT_EQ(t.backend->shaders()[0]->define("MAX_NODE_PATH"), std::to_string(p));
    EXPECT_EQ(t.backend->shaders()[0]->define("MAX_ANIMATIONS_STACK_SIZE"), "100");
}

TEST(GpuPacking, OfSeveralAnimationsTheOneTheLibraryPlaysIsPacked) {
    PackedType t("takes");
    // Three animations, none bearing the take name: the third is the clip, on the CPU and the GPU.
    aiScene* scene = libtest::make_scene(libtest::make_animation(
        4, 30, {libtest::make_channel("b1", {{0, {1, 0, 0}}}, {{0, aiQuaternion()}})}));
    aiAnimation* first = scene->mAnimations[0];
    delete[] scene->mAnimations;
    scene->mNumAnimations = 3;
    scene->mAnimations = new aiAnimation*[3]{
        first, libtest::make_animation(4, 30, {libtest::make_channel("b1", {{0, {2, 0, 0}}}, {{0, aiQuaternion()}})}),
        libtest::make_animation(6, 30, {libtest::make_channel("b1", {{0, {3, 0, 0}}}, {{0, aiQuaternion()}})})};
    t.type.clip("takes.assbin", libtest::to_assbin(scene));
    test::LogCapture log;
    auto m = t.type.load();
    const GpuAnimation* g = m->get_gpu_animation();
    ASSERT_NE(g, nullptr);
    const int clip = m->get_animation_index("takes");
    EXPECT_EQ(g->clips()[clip].frames, 7);
    EXPECT_FLOAT_EQ(frame(*g, clip, m->get_node_id("b1"), 3).translation[0], 3.0f);
    EXPECT_FLOAT_EQ(m->sample_animation(m->get_node_id("b1"), clip, 0.1f, false).getTrans().x(), 3.0f)
        << "the library plays the same animation";
    EXPECT_EQ(log.count(16, "contains multiple animations (3)"), 1u) << log.dump();
}

// One character on `rec` at `time`: its model matrices from the compute passes (on the installed
// back-end) and from the library's own evaluation of the record, chained from the root down.
struct OneRecord {
    std::vector<osg::Matrixf> passes, library;
};
OneRecord evaluate_one(AnimationManager& m, const ShaderBlendSpace2D& rec, float time) {
    const int n = m.get_num_nodes();
    Animator::InstanceData data;
    data.id = 0;
    data.stack[0] = 0;
    data.stack_size = 1;
    const int ids[] = {0};
    using R = render::RenderAPI;
    auto per_instance = R::createStructuredBuffer(sizeof data, 1, 12, &data, sizeof data, "TEST");
    auto pool = R::createStructuredBuffer(sizeof rec, 1, 12, &rec, sizeof rec, "TEST");
    auto indices = R::createStructuredBuffer(4, 1, 12, ids, sizeof ids, "TEST");
    auto out = R::createStructuredBuffer(64, static_cast<uint32_t>(n), 12, nullptr, 0, "TEST");
    test::run_compute(m, time, 1, per_instance, pool, indices, out);
    OneRecord r;
    r.passes.resize(static_cast<size_t>(n));
    if (!out->read(r.passes.data(), r.passes.size() * sizeof(osg::Matrixf))) r.passes.clear();
    r.library.resize(static_cast<size_t>(n));
    for (int node = 0; node < n; ++node) {
        r.library[node] = m.get_bs_node_matrix(node, time, rec);
        const auto& path = m.get_node_paths()[node];
        if (path.size() > 1) r.library[node] = r.library[node] * r.library[path[1]];
    }
    return r;
}

TEST(GpuPacking, UniformScaleOfAChannelReachesThePassesPoses) {
    PackedType t("scaled");
    std::vector<aiQuatKey> turning;
    for (int k = 0; k <= 10; ++k) turning.emplace_back(k, aiQuaternion(aiVector3D(0, 0, 1), 0.1f * k));
    aiNodeAnim* b1 = libtest::make_channel("b1", {{0, {0.1f, 0.2f, 0}}}, turning);
    b1->mScalingKeys[0].mValue = aiVector3D(2, 2, 2);
    t.type.clip("grow.assbin", libtest::assbin_clip(10, 30, {b1}));
    auto m = t.load();
    const int clip = m->get_animation_index("grow");
    const int b1_id = m->get_node_id("b1"), b2_id = m->get_node_id("b2");
    EXPECT_FLOAT_EQ(frame(*m->get_gpu_animation(), clip, b1_id, 4).translation[3], 2.0f);

    ShaderBlendSpace2D rec;
    rec.kind = Animator::BS_RECORD_CLIP;
    rec.samples[0].clip = static_cast<float>(clip);
    rec.loop = 1.0f;
    const OneRecord r = evaluate_one(*m, rec, 0.15f);
    const test::MatrixError e = test::compare(r.passes, r.library, 1.0f);
    EXPECT_LT(e.rotation, 1e-4f) << "matrix " << e.worst;
    EXPECT_LT(e.translation, 1e-4f) << "matrix " << e.worst;
    ASSERT_FALSE(r.passes.empty());
    const float reach = (r.passes[b2_id].getTrans() - r.passes[b1_id].getTrans()).length();
    EXPECT_NEAR(reach, 2.0f * std::sqrt(0.2f * 0.2f + 0.2f * 0.2f), 1e-4f) << "b2 hangs twice as far from b1";
}

// The twin's slerp weights come from a series in the quaternions' dot product, with more terms the
// wider the angle: blends of a still node with the same node turned by angles up to and past half a
// turn (the shorter arc then runs the other way) must match the library's trigonometric slerp closely,
// in both the four- and the eight-lane code.
TEST(GpuPacking, BlendsOfWideAnglesMatchTheLibrary) {
    PackedType t("angles");
    const aiVector3D axis = aiVector3D(0.3f, 0.8f, 0.5f).Normalize();
    const float angles[] = {0.0f, 0.02f, 0.3f, 0.9f, 1.6f, 2.4f, 3.0f, 3.14f, 3.3f, 4.5f, 6.2f};
    auto still = [&](const char* node, float angle) {
        std::vector<aiQuatKey> keys;
        for (int k = 0; k <= 10; ++k) keys.emplace_back(k, aiQuaternion(axis, angle));
        return libtest::make_channel(node, {{0, {0.1f, 0.2f, 0.0f}}}, keys);
    };
    t.type.clip("still.assbin", libtest::assbin_clip(10, 30, {still("b1", 0.0f), still("b2", 0.4f)}));
    for (size_t i = 0; i < std::size(angles); ++i)
        t.type.clip("turned" + std::to_string(i) + ".assbin",
                    libtest::assbin_clip(10, 30, {still("b1", angles[i]), still("b2", 0.4f - angles[i])}));
    auto m = t.load();
    for (int lanes : {4, 8}) {
        const int before = render::CpuAnimationCompute::set_max_lanes(lanes);
        for (size_t i = 0; i < std::size(angles); ++i) {
            for (float u : {0.0f, 0.1f, 0.5f, 0.83f, 1.0f}) {
                ShaderBlendSpace2D rec;
                rec.kind = Animator::BS_RECORD_1D;
                rec.samples[0].clip = static_cast<float>(m->get_animation_index("still"));
                rec.samples[1].clip = static_cast<float>(m->get_animation_index("turned" + std::to_string(i)));
                rec.weight_x = u;
                rec.loop = 1.0f;
                const OneRecord r = evaluate_one(*m, rec, 0.1f);
                const test::MatrixError e = test::compare(r.passes, r.library, 1.0f);
                EXPECT_LT(e.rotation, 2e-6f) << lanes << " lanes, angle " << angles[i] << ", u " << u;
                EXPECT_LT(e.translation, 2e-6f) << lanes << " lanes, angle " << angles[i] << ", u " << u;
            }
        }
        render::CpuAnimationCompute::set_max_lanes(before);
    }
}

TEST(GpuPacking, MaskRowsOfTheOverrides) {
    // 40 nodes: the root bone and a chain of 38 under the scene root.
    PackedType t("masked", 38);
    t.type.clip("idle.lua", libtest::clip_descriptor(30, 1, {}));
    t.type.clip("lift.lua", libtest::clip_descriptor(30, 1, {}));
    t.type.clip("wave.lua", libtest::clip_descriptor(30, 1, {}));
    t.type.write("masked/override/first.lua", "return { animation = 'lift', bones = { 'b1' } }");
    t.type.write("masked/override/second.lua", "return { animation = 'wave', bones = { 'b2', 'b38' } }");
    auto m = t.load();
    ASSERT_EQ(m->get_num_nodes(), 40);
    const GpuAnimation* g = m->get_gpu_animation();
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(g->masks().size(), 80u);
    const auto& second = m->get_override_animation("second");
    const int row = second.id;
    for (int node = 0; node < 40; ++node)
        EXPECT_EQ(g->masks()[row * 40 + node], second.weights[node]) << node;
    EXPECT_EQ(g->masks()[row * 40 + m->get_node_id("b38")], 1.0f);
    // The override clips name their mask row; other clips keep (1, 1, 1, 1).
    EXPECT_EQ(g->clips()[m->get_animation_index("wave")].vector[3], -static_cast<float>(row + 1));
    EXPECT_EQ(g->clips()[m->get_animation_index("idle")].vector[3], 1.0f);

}

TEST(GpuPacking, LocalTransformsGrowOnly) {
    // 50 nodes: the root bone and a chain of 48 under the scene root.
    PackedType t("fifty", 48);
    t.type.clip("idle.lua", libtest::clip_descriptor(30, 1, {}));
    auto m = t.load();
    ASSERT_EQ(m->get_num_nodes(), 50);
    const GpuAnimation* g = m->get_gpu_animation();
    ASSERT_NE(g, nullptr);
    auto per_instance = render::RenderAPI::createStructuredBuffer(432, 64, 12, nullptr, 0, "TEST");
    auto small = render::RenderAPI::createStructuredBuffer(432, 16, 12, nullptr, 0, "TEST");
    AnimationManager::ComputePassParams p;
    p.per_instance_data = &per_instance;
    m->compute(p);
    ASSERT_TRUE(g->local_transforms());
    EXPECT_EQ(g->local_transforms()->capacity(), 3200u);
    EXPECT_EQ(g->local_transforms()->element_size(), 64u);
    EXPECT_EQ(g->local_transforms()->usage(), 12);
    const render::Buffer* first = g->local_transforms().get();
    p.per_instance_data = &small;
    m->compute(p);
    m->compute(p);
    EXPECT_EQ(g->local_transforms().get(), first) << "not recreated for a smaller call";
}

TEST(GpuPacking, ReleasedDataIsCreatedAgainByTheNextPass) {
    PackedType t("again");
    t.type.clip("idle.lua", libtest::clip_descriptor(30, 1, {}));
    auto m = t.load();
    ASSERT_TRUE(m->is_gpu_created());
    m->release_gpu_animations();
    EXPECT_FALSE(m->is_gpu_created());
    EXPECT_EQ(m->get_gpu_animation(), nullptr);
    AnimationManager::ComputePassParams p;
    m->compute(p);
    EXPECT_TRUE(m->is_gpu_created());
    EXPECT_EQ(t.backend->shaders().size(), 2u);
    EXPECT_EQ(t.backend->count(render::Command::Dispatch), 2u);
}

// ---- the evaluation contract on the recording back-end

class ComputeAgreement : public ::testing::Test {
protected:
    void SetUp() override {
        render::set_backend(test::biped_backend());
        manager = &test::biped_manager();
        model = test::biped_model();
        size = test::skeleton_size(*manager);
        wave = manager->get_animation_index("wave");
    }

    // Evaluates the cookies through the compute passes and through the library; returns the error.
    test::MatrixError run(const std::vector<Animator::CharacterModelCookie*>& cookies, float time) {
        std::vector<int> ids;
        for (auto* c : cookies) ids.push_back(c->get_id());
        const auto gpu = test::gpu_model_transforms(*manager, *model, ids, time);
        const auto cpu = test::cpu_model_transforms(*manager, cookies, time);
        EXPECT_EQ(gpu.size(), cpu.size());
        return test::compare(gpu, cpu, size);
    }

    AnimationManager* manager = nullptr;
    Animator::CharacterModelStatic* model = nullptr;
    float size = 1.0f;
    int wave = -1;
};

TEST_F(ComputeAgreement, SampleCharactersOnTheirOwnStacks) {
    test::ManualClock clock(0.0);
    auto idle = test::new_character();    // idle timeline from time 0
    auto walker = test::new_character();  // a 2-D locomotion record fading in over a clip
    auto waver = test::new_character();   // waving under its override while it walks
    const float walk = manager->get_animation_index("walk_loop_slow");
    const float fast = manager->get_animation_index("walk_loop_fast");
    ShaderBlendSpace2D clip;
    clip.kind = Animator::BS_RECORD_CLIP;
    clip.samples[0].clip = manager->get_animation_index("idle");
    clip.loop = 1.0f;
    ShaderBlendSpace2D blend;
    blend.kind = Animator::BS_RECORD_2D;
    blend.samples[0].clip = walk, blend.samples[1].clip = fast, blend.samples[2].clip = walk, blend.samples[3].clip = fast;
    blend.weight_x = 0.3f, blend.weight_y = 0.6f, blend.loop = 1.0f;
    blend.start_time = 1.0f, blend.blend_start = 1.0f, blend.blend_duration = 0.5f;
    test::set_stack_unexpired(*walker, {clip, blend});
    ShaderBlendSpace2D waving = clip;
    waving.samples[0].clip = walk;
    waving.override_clip = static_cast<float>(wave);
    test::set_stack_unexpired(*waver, {waving});

    for (float t : {0.0f, 0.4f, 1.0f, 1.2f, 1.5f, 3.7f, 11.0f, 40.25f}) {
        const test::MatrixError e = run({idle.get(), walker.get(), waver.get()}, t);
        EXPECT_LT(e.rotation, 1e-4f) << "t=" << t << " matrix " << e.worst;
        EXPECT_LT(e.translation, 1e-4f) << "t=" << t << " matrix " << e.worst;
    }
    // The override really moves the arm: the waving character's hand differs from a plain walk's.
    auto walking = test::new_character();
    ShaderBlendSpace2D plain = waving;
    plain.override_clip = -1.0f;
    test::set_stack_unexpired(*walking, {plain});
    const int hand = manager->get_node_id("biped_hand_R");
    const auto both = test::gpu_model_transforms(*manager, *model, {waver->get_id(), walking->get_id()}, 0.7f);
    const size_t n = static_cast<size_t>(manager->get_num_nodes());
    ASSERT_EQ(both.size(), 2 * n);
    EXPECT_GT((both[hand].getTrans() - both[n + hand].getTrans()).length(), 0.05f);
    EXPECT_LT((both[0].getTrans() - both[n].getTrans()).length(), 1e-6f) << "the other nodes stay";
}

TEST_F(ComputeAgreement, RandomStacksOfEveryKind) {
    std::mt19937 rng(20261209);
    const int clips = manager->get_num_animations();
    std::vector<std::unique_ptr<Animator::CharacterModelCookie>> owned;
    std::vector<Animator::CharacterModelCookie*> cookies;
    std::vector<std::vector<ShaderBlendSpace2D>> stacks;
    for (int c = 0; c < 24; ++c) {
        owned.push_back(test::new_character());
        std::vector<ShaderBlendSpace2D> stack;
        const int depth = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < depth; ++i) stack.push_back(test::random_record(rng, clips, wave));
        std::sort(stack.begin(), stack.end(),
                  [](const ShaderBlendSpace2D& a, const ShaderBlendSpace2D& b) { return a.start_time < b.start_time; });
        test::set_stack_unexpired(*owned.back(), stack);
        cookies.push_back(owned.back().get());
        stacks.push_back(stack);
    }
    // A few on idle timelines, folded at times past their first cycle.
    for (int c = 0; c < 3; ++c) {
        owned.push_back(test::new_character());
        owned.back()->set_idle(0.25f * c);
        cookies.push_back(owned.back().get());
    }
    int checked = 0;
    for (size_t c = 0; c < stacks.size(); ++c) {
        for (float t : test::probe_times(rng, stacks[c])) {
            const test::MatrixError e = run({cookies[c]}, t);
            ASSERT_LT(e.rotation, 1e-4f) << "character " << c << " t=" << t << " node " << e.worst;
            ASSERT_LT(e.translation, 1e-4f) << "character " << c << " t=" << t << " node " << e.worst;
            ++checked;
        }
    }
    for (float t : {0.0f, 3.3f, 17.9f, 250.5f}) {
        const test::MatrixError e = run(cookies, t);
        EXPECT_LT(e.rotation, 1e-4f) << "all at t=" << t;
        EXPECT_LT(e.translation, 1e-4f) << "all at t=" << t;
    }
    EXPECT_GT(checked, 300);
}

TEST_F(ComputeAgreement, FourAndEightLanesPoseAlike) {
    std::mt19937 rng(77);
    const int clips = manager->get_num_animations();
    std::vector<std::unique_ptr<Animator::CharacterModelCookie>> owned;
    std::vector<Animator::CharacterModelCookie*> cookies;
    std::vector<int> ids;
    for (int c = 0; c < 12; ++c) {
        owned.push_back(test::new_character());
        std::vector<ShaderBlendSpace2D> stack;
        for (int i = 0, depth = 1 + static_cast<int>(rng() % 3); i < depth; ++i)
            stack.push_back(test::random_record(rng, clips, wave));
        std::sort(stack.begin(), stack.end(),
                  [](const ShaderBlendSpace2D& a, const ShaderBlendSpace2D& b) { return a.start_time < b.start_time; });
        test::set_stack_unexpired(*owned.back(), stack);
        cookies.push_back(owned.back().get());
        ids.push_back(owned.back()->get_id());
    }
    for (float t : {-0.5f, 0.7f, 2.25f, 5.9f}) {
        std::vector<osg::Matrixf> by_lanes[2];
        for (int i = 0; i < 2; ++i) {
            const int before = render::CpuAnimationCompute::set_max_lanes(i == 0 ? 4 : 8);
            by_lanes[i] = test::gpu_model_transforms(*manager, *model, ids, t);
            render::CpuAnimationCompute::set_max_lanes(before);
            const auto library = test::cpu_model_transforms(*manager, cookies, t);
            const test::MatrixError e = test::compare(by_lanes[i], library, size);
            EXPECT_LT(e.rotation, 1e-4f) << (i == 0 ? 4 : 8) << " lanes, t=" << t << " matrix " << e.worst;
            EXPECT_LT(e.translation, 1e-4f) << (i == 0 ? 4 : 8) << " lanes, t=" << t << " matrix " << e.worst;
        }
        const test::MatrixError e = test::compare(by_lanes[0], by_lanes[1], size);
        EXPECT_LT(e.rotation, 1e-5f) << "t=" << t << " matrix " << e.worst;
        EXPECT_LT(e.translation, 1e-5f) << "t=" << t << " matrix " << e.worst;
    }
}

// Samples that coincide are taken once; the records must still pose as the library does.
TEST_F(ComputeAgreement, RecordsRepeatingTheirSamples) {
    const float walk = manager->get_animation_index("walk_loop_slow");
    const float fast = manager->get_animation_index("walk_loop_fast");
    const float turn = manager->get_animation_index("turn_left");
    const struct {
        Animator::BlendSpaceRecordKind kind;
        float clips[4];
    } cases[] = {
        {Animator::BS_RECORD_2D, {walk, fast, walk, fast}},  // the rows alike
        {Animator::BS_RECORD_2D, {walk, walk, fast, fast}},  // each row one clip
        {Animator::BS_RECORD_2D, {walk, walk, walk, walk}},
        {Animator::BS_RECORD_2D, {walk, walk, fast, turn}},
        {Animator::BS_RECORD_2D, {walk, fast, walk, turn}},
        {Animator::BS_RECORD_1D, {fast, fast, -1.0f, -1.0f}},
    };
    std::vector<std::unique_ptr<Animator::CharacterModelCookie>> owned;
    std::vector<Animator::CharacterModelCookie*> cookies;
    for (const auto& c : cases) {
        ShaderBlendSpace2D r;
        r.kind = c.kind;
        for (int k = 0; k < 4; ++k) r.samples[k].clip = c.clips[k];
        r.weight_x = 0.35f, r.weight_y = 0.7f, r.loop = 1.0f;
        owned.push_back(test::new_character());
        test::set_stack_unexpired(*owned.back(), {r});
        cookies.push_back(owned.back().get());
    }
    for (float t : {0.0f, 0.45f, 1.3f, 7.75f}) {
        const test::MatrixError e = run(cookies, t);
        EXPECT_LT(e.rotation, 1e-4f) << "t=" << t << " matrix " << e.worst;
        EXPECT_LT(e.translation, 1e-4f) << "t=" << t << " matrix " << e.worst;
    }
}

TEST_F(ComputeAgreement, OnlyListedInstancesAreWrittenAndBadInputIsHarmless) {
    auto b = test::new_character();
    const size_t n = static_cast<size_t>(manager->get_num_nodes());
    const auto listed = test::gpu_model_transforms(*manager, *model, {b->get_id()}, 1.0f);
    ASSERT_EQ(listed.size(), n);
    EXPECT_NE(listed[0], osg::Matrixf(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));

    using R = render::RenderAPI;
    const int ids[] = {-5, 1 << 20, b->get_id()};
    auto indices = R::createStructuredBuffer(4, 3, 12, ids, sizeof ids, "TEST");
    auto empty = R::createStructuredBuffer(432, 0, 12, nullptr, 0, "TEST");
    auto out = R::createStructuredBuffer(64, 4, 12, nullptr, 0, "TEST");  // far too small
    test::run_compute(*manager, 1.0f, 3, empty, empty, indices, out);  // nothing to read: no slot is valid
    std::vector<float> zeros(64, 0.0f), got(64, 1.0f);
    ASSERT_TRUE(out->read(got.data(), 256));
    EXPECT_EQ(got, zeros);
}

TEST_F(ComputeAgreement, TimelinePassReportsTheStateOfEachListedInstance) {
    auto idle = test::new_character();
    idle->set_idle(0.0f);
    auto plain = test::new_character();
    ShaderBlendSpace2D one;
    one.kind = Animator::BS_RECORD_CLIP;
    test::set_stack_unexpired(*plain, {one});
    const osg::Vec2f window = idle->get_timeline_window();
    ASSERT_GT(window.y(), 0.0f);

    using R = render::RenderAPI;
    const auto& data = model->get_per_instance_data();
    const int ids[] = {idle->get_id(), plain->get_id()};
    auto indices = R::createStructuredBuffer(4, 2, 12, ids, sizeof ids, "TEST");
    auto per_instance = R::createStructuredBuffer(432, static_cast<uint32_t>(data.size()), 12, data.data(),
                                                  data.size() * 432, "TEST");
    auto copy = R::createStructuredBuffer(432, static_cast<uint32_t>(data.size()), 12, nullptr, 0, "TEST");
    auto timeline = R::createStructuredBuffer(16, 2, 12, nullptr, 0, "TEST");
    const float t = window.y() * 2.0f + 0.75f;  // two whole cycles and 0.75 s into the third
    manager->process_timeline({t, 2, 0.0f, 0}, {indices, per_instance, copy, timeline});

    float state[8];
    ASSERT_TRUE(timeline->read(state, sizeof state));
    EXPECT_NEAR(state[0], window.x() + 0.75f, 1e-4f) << "folded time";
    EXPECT_EQ(state[1], static_cast<float>(idle->get_current_slot(state[0])));
    EXPECT_EQ(state[3], 2.0f) << "whole cycles";
    EXPECT_EQ(state[4], t) << "no timeline: time as given";
    EXPECT_EQ(state[5], 0.0f) << "its one record";
    EXPECT_EQ(state[6], 1.0f) << "not fading";
    EXPECT_EQ(state[7], 0.0f) << "no timeline cycles";
    Animator::InstanceData back;
    ASSERT_TRUE(copy->read(&back, sizeof back, static_cast<size_t>(idle->get_id()) * sizeof back));
    EXPECT_EQ(std::memcmp(&back, &data[idle->get_id()], sizeof back), 0);
}

}  // namespace
