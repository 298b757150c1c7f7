// The pose queries on the sample character: every answer agrees with the same evaluation written out
// from the keys and the matrix blends (within float rounding), and none of the queries allocates.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/MathUtils.h"
#include "host/Render.h"
#include "refhost/CpuBackend.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestSupport.h"

// Allocations made while `counting` is on (any thread). Every plain form of new and delete is replaced
// (all on malloc and free), so that none meets a partner of the other kind; the aligned forms stay.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* counted(std::size_t size) noexcept {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* counted_or_throw(std::size_t size) {
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
}  // namespace

// GCC cannot see that these deletes only ever meet the news below.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) { return counted_or_throw(size); }
void* operator new[](std::size_t size) { return counted_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace Animator;

namespace {

const char* const HAND = "biped_hand_R__conn_weapon";

// Entries differ by at most 1e-5, relative to the larger of 1 and the entry.
::testing::AssertionResult near(const osg::Matrixf& a, const osg::Matrixf& b) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const double tolerance = 1e-5 * std::max(1.0, std::fabs(double(b(r, c))));
            if (!(std::fabs(double(a(r, c)) - b(r, c)) <= tolerance))
                return ::testing::AssertionFailure()
                       << "entry (" << r << ", " << c << "): " << a(r, c) << " against " << b(r, c);
        }
    return ::testing::AssertionSuccess();
}
::testing::AssertionResult near(const aiMatrix4x4& a, const aiMatrix4x4& b) { return near(to_Matrixf(a), to_Matrixf(b)); }

// The sample character with a stack of two records: a clip record, then the 2-D blend of idle, looking
// idle and both walks fading in over half a second from t = 1.
class SampleCharacter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::ifstream(test::data_dir() + "/models/biped.chanimgpu")) return;
        log = new test::LogCapture(true);
        render::set_backend(std::make_shared<render::CpuBackend>());
        animations = new test::ScopedMount(test::data_dir() + "/animations", "/animations/");
        models = new test::ScopedMount(test::data_dir() + "/models", "/models/");
        model = new CharacterModelStatic("biped.chanimgpu", "/models/biped.chanimgpu");
        holder = new orn::ref_ptr<CharacterModelStatic>(model);
        model->load_async();
        m = model->get_animation_manager();
        if (!m || m->get_num_animations() < 4) return;
        cookie = new CharacterModelCookie(model);
        ShaderBlendSpace2D walk;
        walk.kind = BS_RECORD_CLIP;
        walk.samples[0].clip = m->get_animation_index("walk_loop_slow");
        walk.loop = 1.0f;
        blend = ShaderBlendSpace2D();
        blend.kind = BS_RECORD_2D;
        const char* clips[4] = {"idle", "idle_look", "walk_loop_slow", "walk_loop_fast"};
        for (int i = 0; i < 4; ++i) blend.samples[i].clip = m->get_animation_index(clips[i]);
        blend.loop = 1.0f;
        blend.weight_x = 0.3f;
        blend.weight_y = 0.6f;
        blend.start_time = 1.0f;
        blend.blend_start = 1.0f;
        blend.blend_duration = 0.5f;
        cookie->set_stack({walk, blend});
    }
    static void TearDownTestSuite() {
        delete cookie;
        delete holder;
        destroy_animation_managers();
        delete models;
        delete animations;
        render::set_backend(nullptr);
        delete log;
        cookie = nullptr, model = nullptr, m = nullptr, holder = nullptr;
    }
    void SetUp() override {
        if (!cookie) GTEST_SKIP() << "sample data missing";
    }

    static test::LogCapture* log;
    static test::ScopedMount *animations, *models;
    static CharacterModelStatic* model;
    static orn::ref_ptr<CharacterModelStatic>* holder;
    static CharacterModelCookie* cookie;
    static AnimationManager* m;
    static ShaderBlendSpace2D blend;
};
test::LogCapture* SampleCharacter::log = nullptr;
test::ScopedMount* SampleCharacter::animations = nullptr;
test::ScopedMount* SampleCharacter::models = nullptr;
CharacterModelStatic* SampleCharacter::model = nullptr;
orn::ref_ptr<CharacterModelStatic>* SampleCharacter::holder = nullptr;
CharacterModelCookie* SampleCharacter::cookie = nullptr;
AnimationManager* SampleCharacter::m = nullptr;
ShaderBlendSpace2D SampleCharacter::blend;

const float TIMES[] = {0.0f, 0.37f, 1.0f, 1.2f, 1.49f, 2.0f, 3.333f, 7.9f, -0.4f};

// A node of a clip at a time, read by key index from the clip's own tracks and slerped by osg.
osg::Matrixf keyed_sample(const AnimationManager& m, int node, int clip, float time, bool loop) {
    const aiNodeAnim* ch = m.get_description(clip)->channels[node];
    if (!ch) return to_Matrixf(m.get_rest_transforms()[node]);
    const aiAnimation* anim = m.get_clip_animation(clip);
    const float tick = m.get_tick(anim, time, loop);
    const int last = static_cast<int>(anim->mDuration);
    const int k0 = std::min(std::max(static_cast<int>(tick), 0), last), k1 = std::min(k0 + 1, last);
    const float f = std::min(std::max(tick - k0, 0.0f), 1.0f);
    auto key = [](unsigned n, int k) { return std::min(static_cast<unsigned>(k), n - 1); };
    const aiQuaternion& a = ch->mRotationKeys[key(ch->mNumRotationKeys, k0)].mValue;
    const aiQuaternion& b = ch->mRotationKeys[key(ch->mNumRotationKeys, k1)].mValue;
    const aiVector3D& pa = ch->mPositionKeys[key(ch->mNumPositionKeys, k0)].mValue;
    const aiVector3D& pb = ch->mPositionKeys[key(ch->mNumPositionKeys, k1)].mValue;
    osg::Quat q;
    q.slerp(f, osg::Quat(a.x, a.y, a.z, a.w), osg::Quat(b.x, b.y, b.z, b.w));
    const aiVector3D p = pa * (1.0f - f) + pb * f;
    return osg::Matrixf::rotate(q) * osg::Matrixf::translate(p.x, p.y, p.z);
}

// A whole pose the generic way: the rest transforms with the first channel of each node sampled at the
// tick, every node chained along its whole path to the root.
std::vector<aiMatrix4x4> chained_pose(AnimationManager& m, const aiAnimation* anim, float tick) {
    std::vector<aiMatrix4x4> locals = m.get_rest_transforms();
    std::vector<bool> done(locals.size(), false);
    for (unsigned c = 0; anim && c < anim->mNumChannels; ++c) {
        const aiNodeAnim* ch = anim->mChannels[c];
        const int id = ch ? m.get_node_id(ch->mNodeName.C_Str()) : -1;
        if (id < 0 || id >= static_cast<int>(locals.size()) || done[id]) continue;
        done[id] = true;
        locals[id] = ClipRuntime::channel_at_time(ch, tick, locals[id]);
    }
    std::vector<aiMatrix4x4> world(locals.size());
    for (size_t i = 0; i < locals.size(); ++i) {
        const std::vector<uint32_t>& path = m.get_node_paths()[i];
        aiMatrix4x4 w = locals[path[0]];
        for (size_t j = 1; j < path.size(); ++j) w = locals[path[j]] * w;
        world[i] = w;
    }
    return world;
}

// A node under the 2-D record, as the blend of four clip samples of matrices.
osg::Matrixf blended_sample(const AnimationManager& m, int node, float time, const ShaderBlendSpace2D& r) {
    const float x = time - r.start_time;
    double d[4];
    for (int k = 0; k < 4; ++k) d[k] = m.get_animation_duration(static_cast<int>(r.samples[k].clip));
    const double u = r.weight_x, v = r.weight_y;
    const float D = static_cast<float>(d[0] * (1 - u) + d[1] * u) * static_cast<float>(1 - v) +
                    static_cast<float>(d[2] * (1 - u) + d[3] * u) * static_cast<float>(v);
    const float phase = std::fmod(x, D) / D;
    osg::Matrixf s[4];
    for (int k = 0; k < 4; ++k)
        s[k] = keyed_sample(m, node, static_cast<int>(r.samples[k].clip), phase * static_cast<float>(d[k]), true);
    return lerp(lerp(s[0], s[1], u), lerp(s[2], s[3], u), v);
}

// A looping clip record, and a looping 1-D record of two clips at a weight.
ShaderBlendSpace2D clip_record(const AnimationManager& m, const char* clip) {
    ShaderBlendSpace2D r;
    r.kind = BS_RECORD_CLIP;
    r.samples[0].clip = m.get_animation_index(clip);
    r.loop = 1.0f;
    return r;
}
ShaderBlendSpace2D linear_record(const AnimationManager& m, const char* a, const char* b, float weight) {
    ShaderBlendSpace2D r;
    r.kind = BS_RECORD_1D;
    r.samples[0].clip = m.get_animation_index(a);
    r.samples[1].clip = m.get_animation_index(b);
    r.weight_x = weight;
    r.loop = 1.0f;
    return r;
}

}  // namespace

TEST_F(SampleCharacter, NodeQueriesAgreeWithTheKeys) {
    const int n = m->get_num_nodes();
    for (int clip = 0; clip < m->get_num_animations(); ++clip)
        for (float t : TIMES)
            for (int node = 0; node < n; ++node) {
                SCOPED_TRACE(::testing::Message() << "clip " << clip << " t " << t << " node " << node);
                ASSERT_TRUE(near(m->sample_animation(node, clip, t, true), keyed_sample(*m, node, clip, t, true)));
            }

    // Whole poses: the parent-first pass against the node-by-node chaining of the generic path.
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    for (int clip = 0; clip < m->get_num_animations(); ++clip)
        for (float t : TIMES)
            for (bool loop : {true, false}) {
                SCOPED_TRACE(::testing::Message() << "clip " << clip << " t " << t << " loop " << loop);
                m->get_pose(clip, t, world, loop, bones);
                const aiAnimation* anim = m->get_clip_animation(clip);
                const std::vector<aiMatrix4x4> reference = chained_pose(*m, anim, m->get_tick(anim, t, loop));
                const std::vector<aiMatrix4x4> clamped = chained_pose(*m, anim, m->get_tick(anim, t, false));
                ASSERT_EQ(world.size(), static_cast<size_t>(n));
                ASSERT_EQ(bones.size(), 2 * world.size());
                for (int node = 0; node < n; ++node) {
                    ASSERT_TRUE(near(world[node], reference[node])) << node;
                    ASSERT_TRUE(near(m->get_node_position(clip, node, t), clamped[node])) << node;
                }
            }
}

TEST_F(SampleCharacter, RecordQueriesAgreeWithTheMatrixBlends) {
    const int n = m->get_num_nodes();
    const int hand = m->get_node_id(HAND);
    ASSERT_GE(hand, 0);
    ShaderBlendSpace2D r = blend;
    r.start_time = 0.0f;
    std::vector<osg::Matrixf> model_space(n), expected(n);
    for (float t : TIMES) {
        SCOPED_TRACE(t);
        for (int node = 0; node < n; ++node) {
            const osg::Matrixf local = m->get_bs_node_matrix(node, t, r);
            ASSERT_TRUE(near(local, blended_sample(*m, node, t, r))) << node;
            const auto& path = m->get_node_paths()[node];
            model_space[node] = path.size() > 1 ? local * model_space[path[1]] : local;
        }
        // The hand through the cookie: its record in effect, chained up the hand's ancestors.
        const ShaderBlendSpace2D& current = cookie->get_current_blend_space(t);
        osg::Matrixf chained = m->get_bs_node_matrix(hand, t, current);
        for (size_t j = 1; j < m->get_node_paths()[hand].size(); ++j)
            chained = chained * m->get_bs_node_matrix(int(m->get_node_paths()[hand][j]), t, current);
        ASSERT_TRUE(near(m->get_node_world_pos(cookie, HAND, t), chained));

        // The instance matrix: the four clips' root motion blended as matrices.
        const float x = t;
        double d[4];
        for (int k = 0; k < 4; ++k) d[k] = m->get_animation_duration(static_cast<int>(r.samples[k].clip));
        const double u = r.weight_x, v = r.weight_y;
        const float D = static_cast<float>(d[0] * (1 - u) + d[1] * u) * static_cast<float>(1 - v) +
                        static_cast<float>(d[2] * (1 - u) + d[3] * u) * static_cast<float>(v);
        const float phase = std::fmod(x, D) / D;
        InstanceMatrices a[4];
        for (int k = 0; k < 4; ++k)
            a[k] = m->get_root_matrix(static_cast<int>(r.samples[k].clip), phase * static_cast<float>(d[k]),
                                      osg::Vec3f(1, -1, -1));
        const InstanceMatrices got = m->_get_instance_matrix(t, r);
        ASSERT_TRUE(near(std::get<0>(got),
                         blend_matrices(blend_matrices(std::get<0>(a[0]), std::get<0>(a[1]), r.weight_x),
                                        blend_matrices(std::get<0>(a[2]), std::get<0>(a[3]), r.weight_x),
                                        r.weight_y)));
        ASSERT_TRUE(near(std::get<1>(got),
                         blend_matrices(blend_matrices(std::get<1>(a[0]), std::get<1>(a[1]), r.weight_x),
                                        blend_matrices(std::get<1>(a[2]), std::get<1>(a[3]), r.weight_x),
                                        r.weight_y)));
        // Through the cookie and through the model's record of the instance: the record in effect.
        const InstanceMatrices mine = m->get_instance_matrix(t, cookie);
        const InstanceMatrices same = m->get_instance_matrix(t, cookie->get_id(), osg::Vec2f(0, -1), model);
        const InstanceMatrices direct = m->_get_instance_matrix(t, current);
        ASSERT_TRUE(near(std::get<0>(mine), std::get<0>(direct)) && near(std::get<1>(mine), std::get<1>(direct)));
        ASSERT_TRUE(near(std::get<0>(mine), std::get<0>(same)) && near(std::get<1>(mine), std::get<1>(same)));
    }

    // The whole character across the cross-fade (the record below fading out over [1, 1.5]), against
    // the node queries blended as matrices and chained by hand.
    ASSERT_EQ(cookie->get_stack_size(), 2);
    for (float t : {0.5f, 1.0f, 1.25f, 1.5f, 2.75f}) {
        SCOPED_TRACE(t);
        ASSERT_TRUE(m->get_model_transforms(t, cookie, model_space.data()));
        const int slot = cookie->get_current_slot(t);
        const ShaderBlendSpace2D& now = cookie->get_current_blend_space(t);
        const ShaderBlendSpace2D* below = slot > 0 ? &model->get_record(cookie->get_instance_data().stack[slot - 1]) : nullptr;
        EXPECT_EQ(below != nullptr, t >= 1.0f);
        const float w = clamp((t - now.blend_start) / now.blend_duration, 0.0f, 1.0f);
        for (int node = 0; node < n; ++node) {
            osg::Matrixf local = m->get_bs_node_matrix(node, t, now);
            if (below && w < 1.0f) {
                local = lerp(m->get_bs_node_matrix(node, t, *below), local, w);
                ASSERT_TRUE(near(m->blend_stack_items(node, t, *below, now), local)) << node;
            }
            const auto& path = m->get_node_paths()[node];
            expected[node] = path.size() > 1 ? local * expected[path[1]] : local;
            ASSERT_TRUE(near(model_space[node], expected[node])) << node;
        }
    }
}

// A caller that walks every node under one record gets what it gets asking for each node alone: for a
// clip record under an override, a 1-D and the 2-D record, and 2-D records with one or all of their
// clips missing, whatever order the nodes come in and however the records alternate, eight or four nodes
// an instruction.
TEST_F(SampleCharacter, WalkingEveryNodeAgreesWithAskingEachAlone) {
    ShaderBlendSpace2D waving = clip_record(*m, "walk_loop_slow");
    waving.override_clip = m->get_animation_index("wave");
    ASSERT_NE(m->find_override_by_clip(static_cast<int>(waving.override_clip)), nullptr);
    const ShaderBlendSpace2D linear = linear_record(*m, "idle", "walk_loop_fast", 0.4f);
    ShaderBlendSpace2D partial = blend, none = blend;
    partial.samples[2].clip = 9999.0f;
    for (auto& sample : none.samples) sample.clip = 9999.0f;
    for (bool lanes : {true, false}) {
        const libtest::LaneWidth width(lanes);
        SCOPED_TRACE(ClipRuntime::wide_lanes() ? "eight lanes" : "four lanes");
        for (const ShaderBlendSpace2D& r : {waving, linear, blend, partial, none})
            for (float t : TIMES) ASSERT_TRUE(libtest::walks_agree(*m, r, blend, t)) << "at " << t;
    }
}

// The root motion of a clip record (looping over a range) and of a 1-D record: the clips' root samples
// blended as matrices, at the times the record gives them.
TEST_F(SampleCharacter, InstanceMatricesOfClipAndLinearRecordsAgreeWithTheClipRoots) {
    ShaderBlendSpace2D single = clip_record(*m, "walk_loop_fast");
    single.loop_start = 0.2f;
    single.loop_end = 0.7f;
    single.start_time = 0.5f;
    const ShaderBlendSpace2D linear = linear_record(*m, "walk_loop_slow", "walk_loop_fast", 0.35f);
    const int a = static_cast<int>(linear.samples[0].clip), b = static_cast<int>(linear.samples[1].clip);
    const double da = m->get_animation_duration(a), db = m->get_animation_duration(b), u = linear.weight_x;
    const float D = static_cast<float>(da * (1 - u) + db * u);
    for (float t : TIMES) {
        SCOPED_TRACE(t);
        const osg::Vec3f loop(1.0f, single.loop_start, single.loop_end);
        const InstanceMatrices clip =
            m->get_root_matrix(static_cast<int>(single.samples[0].clip), t - single.start_time, loop);
        const InstanceMatrices got = m->_get_instance_matrix(t, single);
        ASSERT_TRUE(near(std::get<0>(got), std::get<0>(clip)) && near(std::get<1>(got), std::get<1>(clip)));

        const float phase = std::fmod(t, D) / D;
        const InstanceMatrices ra = m->get_root_matrix(a, phase * static_cast<float>(da), osg::Vec3f(1, -1, -1));
        const InstanceMatrices rb = m->get_root_matrix(b, phase * static_cast<float>(db), osg::Vec3f(1, -1, -1));
        const InstanceMatrices blended = m->_get_instance_matrix(t, linear);
        ASSERT_TRUE(near(std::get<0>(blended), blend_matrices(std::get<0>(ra), std::get<0>(rb), linear.weight_x)));
        ASSERT_TRUE(near(std::get<1>(blended), blend_matrices(std::get<1>(ra), std::get<1>(rb), linear.weight_x)));
    }
}

// No query allocates once its caller's buffers have their size.
TEST_F(SampleCharacter, QueriesDoNotAllocate) {
    const int n = m->get_num_nodes();
    const int hand = m->get_node_id(HAND);
    const std::string hand_name = HAND, unknown_name = "a node this skeleton does not have";
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    std::vector<osg::Matrixf> out(n);
    osg::Matrixf shift;
    const ShaderBlendSpace2D r = blend;
    float t = 0.0f;
    const std::vector<std::pair<const char*, std::function<void()>>> queries = {
        {"get_pose", [&] { m->get_pose(1, t, world, true, bones); }},
        {"get_blended_pose", [&] { m->get_blended_pose(0, t, 2, t, 0.4f, world, bones); }},
        {"get_last_key_pose", [&] { m->get_last_key_pose(2, world); }},
        {"sample_animation", [&] { m->sample_animation(hand, 2, t, true); }},
        {"get_root_matrix", [&] { m->get_root_matrix(2, t, osg::Vec3f(1, -1, -1)); }},
        {"get_node_id", [&] { m->get_node_id(hand_name), m->get_node_id(unknown_name); }},
        {"get_node_position", [&] { m->get_node_position(2, hand_name, t); }},
        {"get_last_node_position", [&] { m->get_last_node_position(2, hand); }},
        {"get_instance_shift", [&] { m->get_instance_shift(2, t, true, shift); }},
        {"get_bs_node_matrix", [&] { for (int i = 0; i < n; ++i) m->get_bs_node_matrix(i, t, r); }},
        {"blend_stack_items", [&] { for (int i = 0; i < n; ++i) m->blend_stack_items(i, t, r, blend); }},
        {"get_node_matrix", [&] { m->get_node_matrix(hand, t, cookie); }},
        {"get_blended_root", [&] { m->get_blended_root(t, cookie); }},
        {"get_node_world_pos", [&] { m->get_node_world_pos(cookie, hand_name, t); }},
        {"get_model_transforms", [&] { m->get_model_transforms(t, cookie, out.data()); }},
        {"_get_instance_matrix", [&] { m->_get_instance_matrix(t, r); }},
        {"get_instance_matrix", [&] { m->get_instance_matrix(t, cookie); }},
        {"get_instance_matrix per instance",
         [&] { m->get_instance_matrix(t, cookie->get_id(), osg::Vec2f(0, -1), model); }},
    };
    for (const auto& [name, query] : queries) {
        t = 0.0f;
        query();  // sizes the caller's buffers
        allocations = 0;
        counting = true;
        for (int i = 0; i < 50; ++i, t += 0.041f) query();
        counting = false;
        EXPECT_EQ(allocations.load(), 0) << name;
    }
}
