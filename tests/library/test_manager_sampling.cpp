// Root-motion extraction, key maintenance, the mend of irregular keys, ticks, poses and node queries.
#include <cmath>

#include <gtest/gtest.h>

#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::SkeletonType;
using libtest::Walker;

namespace {

const float kPi = 3.14159265f;

aiQuaternion about_y(float angle) { return aiQuaternion(aiVector3D(0, 1, 0), angle); }

}  // namespace

TEST_F(Walker, RootMotion) {
    const auto* d = m->get_description(walk);
    ASSERT_EQ(d->root_motion.size(), 31u);
    EXPECT_FLOAT_EQ(d->root_motion[30].phase, 1.0f);
    EXPECT_FLOAT_EQ(d->root_motion[15].phase, 0.5f);
    EXPECT_FLOAT_EQ(d->root_motion[10].position[0], 1.0f);
    EXPECT_FLOAT_EQ(d->root_motion[10].position[1], 0.0f);
    EXPECT_FLOAT_EQ(d->root_motion[10].rotation[3], 1.0f);
    const aiNodeAnim* root = d->channels[m->get_root_node_id()];
    EXPECT_FLOAT_EQ(root->mPositionKeys[10].mValue.x, 0.0f);
    EXPECT_FLOAT_EQ(root->mPositionKeys[10].mValue.y, 1.0f);
    EXPECT_FLOAT_EQ(d->root_keys[10](3, 0), 1.0f);
    EXPECT_FLOAT_EQ(d->root_residuals[10](3, 0), 0.0f);
    EXPECT_TRUE(m->get_description(still)->root_motion.empty());

    // Hand-made root tracks: key counts, headings and type "typeD".
    auto run = [](AnimationManager& mgr, const std::vector<aiVectorKey>& p, const std::vector<aiQuatKey>& r) {
        aiAnimation* a = libtest::make_animation(30, 30, {libtest::make_channel(mgr.get_root_node_name(), p, r)});
        AnimationManager::AnimationDescription d;
        mgr.record_root_motion(a, {}, d);
        mgr._process_root_motion(d, a->mChannels[0], {});
        std::vector<aiQuatKey> keys(a->mChannels[0]->mRotationKeys, a->mChannels[0]->mRotationKeys + r.size());
        delete libtest::make_scene(a);
        return std::make_pair(std::move(d), keys);
    };
    const std::vector<aiQuatKey> rot31(31, aiQuatKey(0, aiQuaternion()));
    test::LogCapture log;
    auto r = run(*m, {{0, {1, 2, 3}}}, rot31);
    EXPECT_EQ(r.first.root_motion.size(), 31u);
    EXPECT_FLOAT_EQ(r.first.root_motion[20].position[0], 1.0f);
    EXPECT_FALSE(log.has("Inconsistent"));
    r = run(*m, std::vector<aiVectorKey>(30, aiVectorKey(0, {0, 0, 0})), rot31);
    EXPECT_EQ(r.first.root_motion.size(), 31u);
    EXPECT_TRUE(log.has(8, "Inconsistent number of keys: rot = 31, pos = 30")) << log.dump();
    // X axis turned to -Z: heading +pi/2, the key becomes the identity; X axis vertical: heading pi.
    r = run(*m, {{0, {0, 0, 0}}}, {{0, about_y(kPi / 2)}});
    EXPECT_NEAR(r.first.root_motion[0].rotation[1], std::sin(kPi / 4), 1e-5);
    EXPECT_NEAR(r.second[0].mValue.w, 1.0f, 1e-5);
    EXPECT_NEAR(r.second[0].mValue.y, 0.0f, 1e-5);
    r = run(*m, {{0, {0, 0, 0}}}, {{0, aiQuaternion(aiVector3D(0, 0, 1), kPi / 2)}});
    EXPECT_NEAR(r.first.root_motion[0].rotation[1], 1.0f, 1e-5);

    // Type "typeD" keeps the rotation in the keys.
    SkeletonType d_type("typeD");
    d_type.clip("a.lua");
    auto type_d = d_type.load();
    r = run(*type_d, {{0, {5, 1, 2}}}, {{0, about_y(0.5f)}});
    EXPECT_NEAR(r.second[0].mValue.y, about_y(0.5f).y, 1e-6);
    EXPECT_TRUE(r.first.root_residuals[0] == r.first.root_keys[0]);
}

TEST_F(Walker, TicksSamplesRootMatricesAndPoses) {
    const aiAnimation* a = m->get_description(walk)->scene->mAnimations[0];
    for (auto [t, loop, tick] : {std::tuple{1.5f, true, 15.0f}, {1.5f, false, 30.0f}, {-0.5f, false, 0.0f}})
        EXPECT_FLOAT_EQ(m->get_tick(a, t, loop), tick) << t << " " << loop;
    EXPECT_FLOAT_EQ(m->get_tick(nullptr, 1.0f, true), 0.0f);

    const int spine = m->get_node_id("spine");
    // Rotation about Z at tick 7.5, with and without a root channel in the clip.
    for (int clip : {walk, still})
        EXPECT_NEAR(m->sample_animation(spine, clip, 0.25f, true)(1, 0), -std::sin(2 * 7.5f * 0.01f), 1e-4) << clip;
    for (auto [node, clip] : {std::pair{spine, 65535}, {-1, walk}, {99, walk}})
        EXPECT_TRUE(m->sample_animation(node, clip, 0.5f, true).isIdentity()) << node << " " << clip;
    EXPECT_FLOAT_EQ(m->sample_animation(m->get_node_id("arm"), walk, 0.5f, true)(3, 0), 0.3f);

    // Root matrix: 1e38 without looping gives the whole travel; the loop range folds the time.
    auto root_x = [&](float t, const osg::Vec3f& loop) { return std::get<0>(m->get_root_matrix(walk, t, loop))(3, 0); };
    EXPECT_NEAR(root_x(1e38f, osg::Vec3f(0, -1, -1)), 3.0f, 1e-5);
    EXPECT_NEAR(root_x(2.0f, osg::Vec3f(1, 0.5f, 0.75f)), 1.5f, 1e-4);  // fmodf(2, 0.25) + 0.5 = 0.5 s = tick 15
    EXPECT_NEAR(root_x(0.4f, osg::Vec3f(1, 0.5f, 1.5f)), 1.2f, 1e-4);
    EXPECT_TRUE(std::get<0>(m->get_root_matrix(still, 0.5f, osg::Vec3f(1, -1, -1))).isIdentity());
    EXPECT_TRUE(std::get<1>(m->get_root_matrix(65535, 0.5f, osg::Vec3f(1, -1, -1))).isIdentity());

    // Poses: the blend of the last frame with weight 0 is the last key pose.
    const int head = m->get_node_id("head");
    std::vector<aiMatrix4x4> world, last;
    std::vector<osg::Vec3f> bones;
    m->get_blended_pose(walk, 1.0f, walk, 0.0f, 0.0f, world, bones);
    m->get_last_key_pose(walk, last);
    ASSERT_EQ(world.size(), 5u);
    EXPECT_EQ(bones.size(), 10u);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(world[i].Equal(last[i], 1e-5f));
    m->get_pose(walk, 0.0f, world, true, bones);
    EXPECT_NEAR(world[head].b4, 1.75f, 1e-5);
    EXPECT_TRUE(
        m->get_node_position(walk, "nope", 0.5f).Equal(m->get_node_position(walk, m->get_node_id("root"), 0.5f)));
    m->get_pose(65535, 0.5f, world, true, bones);
    EXPECT_NEAR(world[head].b4, 1.75f, 1e-5);  // rest pose for a clip that does not exist

    osg::Matrixf shift;
    m->get_instance_shift(walk, 0.5f, true, shift);
    EXPECT_FLOAT_EQ(shift(3, 1), 0.0f);
    EXPECT_EQ(m->get_movement(walk).size(), 30u);
    EXPECT_TRUE(m->get_movement(65535).empty());
    std::vector<osg::Vec3d> trail;
    m->build_node_trajectory(trail, walk, "spine");
    ASSERT_EQ(trail.size(), 30u);
    EXPECT_NEAR(trail[0].y(), 10001.5, 1e-4);
    m->build_node_trajectory(trail, 65535, "spine");
    EXPECT_TRUE(trail.empty());
}

// Tracks are sampled by key index, interpolated between keys and held after the last; resampling
// gives one key per tick; a clip loops when every track ends on the rotation it starts with, and an
// index past the scene's animations counts as looping.
TEST_F(Walker, KeySamplingResamplingAndLoopCheck) {
    std::vector<aiVectorKey> pos;
    for (int k = 0; k < 5; ++k) pos.push_back({double(k), aiVector3D(float(k), 0, 0)});
    const std::vector<aiQuatKey> rot(5, aiQuatKey(0, aiQuaternion()));
    m->load_animation(ScenePtr(libtest::make_scene(libtest::make_animation(
                          4, 30, {libtest::make_channel("spine", pos, rot), libtest::make_channel("ghost", pos, rot)}))),
                      "keys", {});
    const int keys = m->get_animation_index("keys");
    ASSERT_NE(keys, INVALID_CLIP);
    for (auto [tick, x] : {std::pair{2.25f, 2.25f}, {4.0f, 4.0f}, {50.0f, 4.0f}})
        EXPECT_NEAR(m->sample_animation(m->get_node_id("spine"), keys, tick / 30.0f, false)(3, 0), x, 1e-5) << tick;

    aiScene* s = libtest::make_scene(libtest::make_animation(
        20, 30,
        {libtest::make_channel("n", {{0, {0, 0, 0}}, {10, {10, 0, 0}}, {20, {0, 0, 0}}}, {{0, aiQuaternion()}})}));
    EXPECT_TRUE(AnimationManager::resample_animation(s->mAnimations[0]));
    const aiNodeAnim* ch = s->mAnimations[0]->mChannels[0];
    ASSERT_EQ(ch->mNumPositionKeys, 21u);
    EXPECT_FLOAT_EQ(ch->mPositionKeys[5].mValue.x, 5.0f);
    EXPECT_DOUBLE_EQ(ch->mPositionKeys[20].mTime, 20.0);
    EXPECT_EQ(ch->mNumRotationKeys, 1u);
    EXPECT_TRUE(AnimationManager::check_loop(s, 0));
    delete s;
    aiScene* t = libtest::make_scene(libtest::make_animation(
        1, 30, {libtest::make_channel("n", {}, {{0, aiQuaternion(1, 0, 0, 0)}, {1, aiQuaternion(0.998f, 0, 0, 0)}}),
                libtest::make_channel("e", {}, {})}));
    EXPECT_FALSE(AnimationManager::check_loop(t, 0));
    EXPECT_TRUE(AnimationManager::check_loop(t, 5));
    delete t;
}

TEST(ManagerMend, IrregularFileClipsGetOneKeyPerTick) {
    SkeletonType type("mend");
    // 1000 ticks per second, 2 s, keys every 41.67 ticks from 41.67: root walks 1 unit per second.
    std::vector<aiVectorKey> pos;
    std::vector<aiQuatKey> rot;
    for (int k = 1; k <= 48; ++k) {
        const double t = k * 2000.0 / 48.0;
        pos.push_back({t, aiVector3D(float(t / 1000.0), 1, 0)});
        rot.push_back({t, about_y(float(t / 2000.0))});
    }
    type.clip("fast.assbin", libtest::assbin_clip(2000, 1000, {libtest::make_channel("mend", pos, rot),
                                                               libtest::make_channel("spine", {}, {})}));
    type.clip("zero.assbin",
              libtest::assbin_clip(0, 0, {libtest::make_channel("mend", {{3, {1, 1, 1}}, {7, {2, 2, 2}}}, {})}));
    auto m = type.load();
    ASSERT_EQ(m->get_num_animations(), 2);

    const int f = m->get_animation_index("fast");
    EXPECT_NEAR(m->get_animation_duration(f), 2.0f, 1e-6);
    // The keys lie on a grid of 24 per second: that becomes the clip's tick.
    const aiAnimation* a = m->get_clip_animation(f);
    EXPECT_DOUBLE_EQ(a->mDuration, 48.0);
    EXPECT_NEAR(a->mTicksPerSecond, 24.0, 1e-9);
    const aiNodeAnim* root = m->get_description(f)->channels[m->get_root_node_id()];
    ASSERT_EQ(root->mNumPositionKeys, 49u);
    for (unsigned k = 0; k < 49; ++k) EXPECT_DOUBLE_EQ(root->mPositionKeys[k].mTime, k);
    // Root motion runs on the mended keys: held before the first key, then 1 unit per second.
    for (auto [t, x] : {std::pair{0.0f, 2.0f / 48.0f}, {1.0f, 1.0f}, {2.0f, 2.0f}})
        EXPECT_NEAR(std::get<0>(m->get_root_matrix(f, t, osg::Vec3f(0, -1, -1)))(3, 0), x, 1e-5) << t;
    // An empty track takes the rest value.
    const aiNodeAnim* spine = m->get_description(f)->channels[m->get_node_id("spine")];
    ASSERT_EQ(spine->mNumPositionKeys, 1u);
    EXPECT_FLOAT_EQ(spine->mPositionKeys[0].mValue.y, 0.5f);

    // A zero-length clip answers finite values everywhere.
    const int z = m->get_animation_index("zero");
    EXPECT_EQ(m->get_animation_duration(z), 0.0f);
    const osg::Matrixf s = m->sample_animation(m->get_root_node_id(), z, 3.0f, true);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(std::isfinite(s.ptr()[i]));
    EXPECT_TRUE(std::isfinite(std::get<1>(m->get_root_matrix(z, 1.0f, osg::Vec3f(1, 0, 1)))(3, 1)));
    EXPECT_TRUE(std::isfinite(m->get_description(z)->root_motion.at(0).phase));
}
