// Override animations and the CPU evaluation of sample records.
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::Walker;

namespace {

ShaderBlendSpace2D clip_record(int clip, float start = 0.0f) {
    ShaderBlendSpace2D r;
    r.kind = BS_RECORD_CLIP;
    r.samples[0].clip = float(clip);
    r.start_time = start;
    r.loop = 1.0f;
    return r;
}

}  // namespace

// Keys are the lower-case file name up to ".lua"; a later file of the same key replaces the entry and
// takes the id of the last slot.
TEST_F(Walker, OverridesAreLoadedByLowerCaseName) {
    EXPECT_TRUE(log->has(8, "can not load override")) << log->dump();
    EXPECT_EQ(m->get_overrides().size(), 3u);
    const auto& wave = m->get_override_animation("WAVE");
    EXPECT_EQ(wave.clip, lift);
    EXPECT_FLOAT_EQ(wave.weights[m->get_node_id("arm")], 1.0f);
    EXPECT_FLOAT_EQ(wave.weights[m->get_node_id("spine")], 0.0f);
    const auto& kept = m->get_override_animation("still");
    EXPECT_EQ(kept.clip, walk);
    for (float w : kept.weights) EXPECT_EQ(w, 0.0f);
    EXPECT_EQ(m->get_override_animation("lost").clip, INVALID_CLIP);
    EXPECT_EQ(kept.id, 2);
    EXPECT_EQ(m->get_override_animation("lost").id, 2);
    EXPECT_EQ(m->find_override_by_clip(INVALID_CLIP), nullptr);
    EXPECT_EQ(m->find_override_by_clip(lift), &wave);
    EXPECT_THROW(m->get_override_animation("nothing"), std::out_of_range);
}

TEST_F(Walker, NodeUnderRecordsOverridesAndCrossFades) {
    const int arm = m->get_node_id("arm"), root = m->get_root_node_id();
    // No override, one with the arm, "still" (no bones), an index that is no clip.
    ShaderBlendSpace2D r = clip_record(walk);
    for (auto [override_clip, y] :
         {std::pair{-1.0f, 0.0f}, {float(lift), 0.15f}, {float(walk), 0.0f}, {65535.0f, 0.0f}}) {
        r.override_clip = override_clip;
        EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, r)(3, 1), y, 1e-5) << override_clip;
    }
    r.override_clip = float(lift);
    EXPECT_TRUE(m->get_bs_node_matrix(root, 0.5f, r) == m->sample_animation(root, walk, 0.5f, true));

    // Records naming no clip, or of another kind, evaluate to the identity.
    for (const ShaderBlendSpace2D& none : {clip_record(65535), clip_record(-7), ShaderBlendSpace2D()})
        EXPECT_TRUE(m->get_bs_node_matrix(arm, 0.5f, none).isIdentity());
    EXPECT_TRUE(m->get_bs_node_matrix(99, 0.5f, clip_record(walk)).isIdentity());
    auto pair = m->_get_instance_matrix(0.5f, clip_record(65535));
    EXPECT_TRUE(std::get<0>(pair).isIdentity() && std::get<1>(pair).isIdentity());

    // A 2-D record with zero weights is sample 0's clip alone; a 1-D one at weight 1 is sample 1's.
    ShaderBlendSpace2D bs;
    bs.kind = BS_RECORD_2D;
    bs.loop = 1.0f;
    bs.samples[0].clip = float(lift);
    bs.samples[1].clip = bs.samples[2].clip = bs.samples[3].clip = float(walk);
    EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, bs)(3, 1), 0.15f, 1e-5);
    bs.kind = BS_RECORD_1D;
    bs.weight_x = 1.0f;
    EXPECT_NEAR(m->get_bs_node_matrix(arm, 0.5f, bs)(3, 1), 0.0f, 1e-5);

    // Cross-fade between stack records: {blend duration, time, arm height}; a zero duration switches at
    // the start.
    const ShaderBlendSpace2D prev = clip_record(walk);
    ShaderBlendSpace2D next = clip_record(lift);
    next.blend_start = 0.5f;
    for (auto [duration, t, y] : {std::tuple{0.0f, 0.4f, 0.0f}, {0.0f, 0.5f, 0.15f}, {0.5f, 0.5f, 0.0f},
                                  {0.5f, 0.75f, 0.5f * 0.225f}, {0.25f, 0.75f, 0.225f}}) {
        next.blend_duration = duration;
        EXPECT_NEAR(m->blend_stack_items(arm, t, prev, next)(3, 1), y, 1e-5) << duration << " at " << t;
    }
}

TEST_F(Walker, InstanceMatricesAndWorldPositions) {
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

    // World positions need a character; an unknown node is reported once.
    test::LogCapture capture;
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "tail", 0.0f).isIdentity());
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "tail", 1.0f).isIdentity());
    EXPECT_EQ(capture.count(8, "node 'tail' not found"), 1u);
    EXPECT_TRUE(m->get_node_world_pos(nullptr, "arm", 1.0f).isIdentity());
}

// A skeleton of more nodes than a word of node bits and than one lane group holds, with clips that key
// different bones: a caller walking every node gets what it gets asking for each node alone, for a
// clip, a 1-D and a 2-D record and 2-D records with a clip missing, eight or four nodes an instruction.
TEST(ManagerRecords, LongSkeletonsWalkedAgreeWithEachNodeAlone) {
    // Ten chains of ten bones ("c<chain>_<depth>") under the type's root.
    libtest::SkeletonType type("long", false);
    std::string chains;
    for (int k = 0; k < 10; ++k) {
        std::string chain;
        for (int d = 9; d >= 0; --d)
            chain = "c" + std::to_string(k) + "_" + std::to_string(d) + " = { m = " +
                    libtest::translation_m(0.1f * float(k), 0.2f, 0.0f) +
                    (chain.empty() ? "" : ", children = { " + chain + " }") + " }";
        chains += (k ? ", " : "") + chain;
    }
    type.write("long.skel", "skeleton = { long = { m = " + libtest::translation_m(0, 1, 0) + ", children = { " +
                                chains + " } } }\n");
    // Clip j keys the bones b (b = 10 chain + depth) that its rule takes, each turning at its own rate.
    const std::vector<std::function<bool(int)>> keys = {
        [](int b) { return b < 70; }, [](int b) { return b >= 40; }, [](int b) { return b % 2 == 0; },
        [](int b) { return b % 3 == 1; }};
    for (int j = 0; j < 4; ++j) {
        std::vector<libtest::Track> tracks;
        for (int b = 0; b < 100; ++b) {
            if (!keys[j](b)) continue;
            std::vector<libtest::Frame> frames;
            osg::Vec3f axis(1.0f, float(j), float(b % 3));
            axis.normalize();
            for (int i = 0; i <= 20; ++i) {
                const float half = 0.03f * float(i * (1 + (b + j) % 5));
                const float s = std::sin(half);
                frames.push_back({{0.1f * float(b / 10), 0.2f + 0.01f * float(i * j), 0.0f},
                                  {axis.x() * s, axis.y() * s, axis.z() * s, std::cos(half)}});
            }
            tracks.push_back({"c" + std::to_string(b / 10) + "_" + std::to_string(b % 10), frames});
        }
        type.clip("clip" + std::to_string(j) + ".lua", libtest::clip_descriptor(30, 20, tracks));
    }
    const std::unique_ptr<AnimationManager> m = type.load();
    ASSERT_GT(m->get_num_nodes(), 100);
    ASSERT_EQ(m->get_num_animations(), 4);

    ShaderBlendSpace2D blend;
    blend.kind = BS_RECORD_2D;
    blend.loop = 1.0f;
    blend.weight_x = 0.3f;
    blend.weight_y = 0.6f;
    for (int j = 0; j < 4; ++j) blend.samples[j].clip = float(m->get_animation_index("clip" + std::to_string(j)));
    ShaderBlendSpace2D linear = blend, one = clip_record(int(blend.samples[1].clip)), partial = blend;
    linear.kind = BS_RECORD_1D;
    linear.samples[1].clip = blend.samples[2].clip;
    partial.samples[3].clip = 65535.0f;

    for (bool lanes : {true, false}) {
        const libtest::LaneWidth width(lanes);
        SCOPED_TRACE(ClipRuntime::wide_lanes() ? "eight lanes" : "four lanes");
        for (const ShaderBlendSpace2D& r : {blend, linear, one, partial})
            for (float t : {0.0f, 0.21f, 0.5f, 0.83f})
                ASSERT_TRUE(libtest::walks_agree(*m, r, linear, t)) << "at " << t;
    }
}
