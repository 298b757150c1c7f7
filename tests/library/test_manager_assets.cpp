// Real clip files: after loading, poses sampled from the library match assimp's own key data
// interpolated by time.
#include <algorithm>
#include <cmath>

#include <assimp/cimport.h>
#include <gtest/gtest.h>

#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::by_time;
using libtest::SkeletonType;

namespace {

// Loads `file` as skeleton and clip of a type, then compares every channel at the given times.
void compare_with_original(const std::string& file, const char* skeleton_ext, const char* clip_name,
                           const std::vector<float>& times, float tolerance) {
    SCOPED_TRACE(file + " within " + std::to_string(tolerance));
    const std::string bytes = test::read_text(test::shared_assets_dir() + "/" + file);
    ASSERT_FALSE(bytes.empty()) << "can not read " << file;
    SkeletonType type("asset", false);
    type.write(std::string("asset") + skeleton_ext, bytes);
    type.clip(clip_name, bytes);
    test::LogCapture log;
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded()) << log.dump();
    ASSERT_EQ(m->get_num_animations(), 1);

    const aiScene* original = aiImportFileFromMemory(bytes.data(), unsigned(bytes.size()), 0, "");
    ASSERT_NE(original, nullptr);
    const aiAnimation* a = original->mAnimations[0];
    const double rate = a->mTicksPerSecond > 0 ? a->mTicksPerSecond : 25.0;
    EXPECT_NEAR(m->get_animation_duration(0), a->mDuration / rate, 1e-5);
    int compared = 0;
    for (unsigned c = 0; c < a->mNumChannels; ++c) {
        const aiNodeAnim* ch = a->mChannels[c];
        const int node = m->get_node_id(ch->mNodeName.C_Str());
        if (node < 0 || ch->mNumPositionKeys == 0 || ch->mNumRotationKeys == 0) continue;
        for (float t : times) {
            SCOPED_TRACE(std::string(ch->mNodeName.C_Str()) + " at " + std::to_string(t));
            const aiVector3D p = by_time(ch->mPositionKeys, ch->mNumPositionKeys, t * rate);
            const aiQuaternion q = by_time(ch->mRotationKeys, ch->mNumRotationKeys, t * rate).Normalize();
            const osg::Matrixf s = m->sample_animation(node, 0, t, false);
            const osg::Quat r = s.getRotate();
            EXPECT_NEAR(std::fabs(r.x() * q.x + r.y() * q.y + r.z() * q.z + r.w() * q.w), 1.0, tolerance);
            const float scale = std::max(1.0f, p.Length());
            for (int i = 0; i < 3; ++i) EXPECT_NEAR(s(3, i), p[i], tolerance * scale) << "axis " << i;
            ++compared;
        }
    }
    EXPECT_GT(compared, 0);
    aiReleaseImport(original);
}

}  // namespace

// glTF keys (1000 ticks per second, every 41.67 ticks from 41.67) are mended onto their own grid of 24
// per second, so every key is hit; FBX keys on whole ticks are kept.
TEST(RealClips, SampledPosesMatchTheOriginalKeys) {
    if (!test::shared_assets_present()) GTEST_SKIP() << "shared assets are absent";
    compare_with_original("CesiumMan/CesiumMan.assbin", ".anim", "walk.assbin",
                          {0.0f, 1.0f / 30, 0.5f, 1.0f, 29.0f / 30, 1.9f, 2.0f}, 1e-4f);
    compare_with_original("CesiumMan/CesiumMan.assbin", ".anim", "walk.assbin", {0.013f, 0.71f, 1.234f, 1.99f},
                          2e-2f);
    compare_with_original("CesiumMan/CesiumMan.fbx", ".fbx", "walk.fbx", {0.0f, 0.3f, 1.0f, 1.37f, 1.95f}, 1e-4f);
    compare_with_original("RiggedSimple/RiggedSimple.assbin", ".anim", "bend.assbin", {0.0f, 0.4f, 1.0f, 2.0f}, 2e-2f);
}
