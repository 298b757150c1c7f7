// Override animations and the CPU evaluation of sample records.
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::SkeletonType;

namespace {

// Type "rec": clip "walk" moves the root +X by 0.1 per frame (31 frames at 30/s), clip "lift" moves
// the arm up by 0.01 per frame; overrides under several file names.
class Records : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        type = new SkeletonType("rec");
        std::vector<libtest::Frame> arm;
        for (int i = 0; i < 31; ++i) arm.push_back({{0.3f, 0.01f * i, 0}, {0, 0, 0, 1}});
        type->clip("walk.lua", libtest::clip_descriptor(30, 30, {{"rec", libtest::walk_frames(31, 0.1f)}}));
        type->clip("lift.lua", libtest::clip_descriptor(30, 30, {{"arm", arm}}));
        type->write("rec/override/Wave.LUA", "return { animation = 'LIFT', bones = { 'arm', 'arm', 'ghost' } }");
        type->write("rec/override/still.lua", "return { animation = 'walk' }");
        type->write("rec/override/lost.lua", "return { animation = 'missing', bones = { 'arm' } }");
        type->write("rec/override/broken.lua", "return {");
        log = new test::LogCapture;
        m = type->load().release();
    }
    static void TearDownTestSuite() {
        delete m;
        delete log;
        delete type;
    }
    static ShaderBlendSpace2D clip_record(int clip, float start = 0.0f) {
        ShaderBlendSpace2D r;
        r.kind = BS_RECORD_CLIP;
        r.samples[0].clip = float(clip);
        r.start_time = start;
        r.loop = 1.0f;
        return r;
    }
    static SkeletonType* type;
    static test::LogCapture* log;
    static AnimationManager* m;
};
SkeletonType* Records::type = nullptr;
test::LogCapture* Records::log = nullptr;
AnimationManager* Records::m = nullptr;

}  // namespace

TEST_F(Records, OverridesAreLoadedByLowerCaseName) {
    EXPECT_TRUE(log->has(8, "can not load override")) << log->dump();
    EXPECT_EQ(m->get_overrides().size(), 3u);
    const auto& wave = m->get_override_animation("WAVE");
    EXPECT_EQ(wave.clip, m->get_animation_index("lift"));
    EXPECT_FLOAT_EQ(wave.weights[m->get_node_id("arm")], 1.0f);
    EXPECT_FLOAT_EQ(wave.weights[m->get_node_id("spine")], 0.0f);
    for (float w : m->get_override_animation("still").weights) EXPECT_EQ(w, 0.0f);
    EXPECT_EQ(m->get_override_animation("lost").clip, INVALID_CLIP);
    EXPECT_EQ(m->find_override_by_clip(INVALID_CLIP), nullptr);
    EXPECT_EQ(m->find_override_by_clip(m->get_animation_index("lift")), &wave);
    try {
        m->get_override_animation("nothing");
        FAIL() << "expected out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid unordered_map<K, T> key");
    }
}

TEST(ManagerOverrides, SameKeyTwiceKeepsOne) {
    SkeletonType type("ovdup");
    type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
    // Listed in byte order: A.lua, B.lua.bak, a.lua; the last replaces the first.
    type.write("ovdup/override/A.lua", "return { animation = 'a' }");
    type.write("ovdup/override/B.lua.bak", "return { animation = 'a' }");
    type.write("ovdup/override/a.lua", "return { animation = 'a', bones = { 'arm' } }");
    auto m = type.load();
    ASSERT_EQ(m->get_overrides().size(), 2u);
    EXPECT_EQ(m->get_override_animation("a").id, 1);
    EXPECT_EQ(m->get_override_animation("b").id, 1);
    EXPECT_FLOAT_EQ(m->get_override_animation("a").weights[m->get_node_id("arm")], 1.0f);
}

TEST_F(Records, NodeUnderRecordWithOverrides) {
    const int arm = m->get_node_id("arm"), root = m->get_root_node_id();
    const int walk = m->get_animation_index("walk"), lift = m->get_animation_index("lift");
    ShaderBlendSpace2D r = clip_record(walk);
    EXPECT_FLOAT_EQ(m->get_bs_node_matrix(arm, 0.5f, r)(3, 1), 0.0f);
    r.override_clip = float(lift);
    EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, r)(3, 1), 0.15f, 1e-5);
    EXPECT_TRUE(m->get_bs_node_matrix(root, 0.5f, r) == m->sample_animation(root, walk, 0.5f, true));
    r.override_clip = float(walk);  // override "still" has no bones
    EXPECT_FLOAT_EQ(m->get_bs_node_matrix(arm, 0.5f, r)(3, 1), 0.0f);
    r.override_clip = 65535.0f;
    EXPECT_FLOAT_EQ(m->get_bs_node_matrix(arm, 0.5f, r)(3, 1), 0.0f);

    // Records naming no clip, or of another kind, evaluate to the identity.
    EXPECT_TRUE(m->get_bs_node_matrix(arm, 0.5f, clip_record(65535)).isIdentity());
    EXPECT_TRUE(m->get_bs_node_matrix(arm, 0.5f, clip_record(-7)).isIdentity());
    EXPECT_TRUE(m->get_bs_node_matrix(arm, 0.5f, ShaderBlendSpace2D()).isIdentity());
    EXPECT_TRUE(m->get_bs_node_matrix(99, 0.5f, clip_record(walk)).isIdentity());
    auto pair = m->_get_instance_matrix(0.5f, clip_record(65535));
    EXPECT_TRUE(std::get<0>(pair).isIdentity() && std::get<1>(pair).isIdentity());

    // A 2-D record with zero weights is sample 0's clip alone.
    ShaderBlendSpace2D bs;
    bs.kind = BS_RECORD_2D;
    bs.loop = 1.0f;
    bs.samples[0].clip = float(lift);
    bs.samples[1].clip = bs.samples[2].clip = bs.samples[3].clip = float(walk);
    EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, bs)(3, 1), 0.15f, 1e-5);
    bs.kind = BS_RECORD_1D;
    bs.weight_x = 1.0f;
    EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, bs)(3, 1), 0.0f, 1e-5);
}

TEST_F(Records, CrossFadeBetweenStackRecords) {
    const int arm = m->get_node_id("arm");
    ShaderBlendSpace2D prev = clip_record(m->get_animation_index("walk"));
    ShaderBlendSpace2D next = clip_record(m->get_animation_index("lift"));
    next.blend_start = 0.5f;
    EXPECT_FLOAT_EQ(m->blend_stack_items(arm, 0.4f, prev, next)(3, 1), 0.0f);
    EXPECT_NEAR(m->blend_stack_items(arm, 0.5f, prev, next)(3, 1), 0.15f, 1e-5);
    next.blend_duration = 0.5f;
    EXPECT_NEAR(m->blend_stack_items(arm, 0.5f, prev, next)(3, 1), 0.0f, 1e-5);
    EXPECT_NEAR(m->blend_stack_items(arm, 0.75f, prev, next)(3, 1), 0.5f * 0.225f, 1e-5);
    next.blend_duration = 0.25f;
    EXPECT_NEAR(m->blend_stack_items(arm, 0.75f, prev, next)(3, 1), 0.225f, 1e-5);
}

TEST_F(Records, InstanceMatricesOfRecords) {
    const int walk = m->get_animation_index("walk");
    ShaderBlendSpace2D r = clip_record(walk, 1.0f);
    EXPECT_NEAR(std::get<0>(m->_get_instance_matrix(1.5f, r))(3, 0), 1.5f, 1e-5);
    r.loop = 0.0f;
    EXPECT_NEAR(std::get<0>(m->_get_instance_matrix(9.0f, r))(3, 0), 3.0f, 1e-5);
    ShaderBlendSpace2D bs;
    bs.kind = BS_RECORD_2D;
    bs.samples[0].clip = bs.samples[1].clip = float(walk);
    bs.samples[2].clip = bs.samples[3].clip = 65535.0f;
    bs.weight_x = 0.5f;
    EXPECT_NEAR(std::get<0>(m->_get_instance_matrix(0.25f, bs))(3, 0), 0.75f, 1e-5);
    EXPECT_TRUE(std::get<0>(m->get_instance_matrix(0.5f, nullptr)).isIdentity());
    EXPECT_TRUE(std::get<0>(m->get_instance_matrix(0.5f, 0, osg::Vec2f(0, 0), nullptr)).isIdentity());
}

TEST_F(Records, WorldPositionOfUnknownNodeIsReportedOnce) {
    test::LogCapture capture;
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "tail", 0.0f).isIdentity());
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "tail", 1.0f).isIdentity());
    EXPECT_EQ(capture.count(8, "node 'tail' not found"), 1u);
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "arm", 1.0f).isIdentity());
}
