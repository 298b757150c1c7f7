// Real clip files: after loading, poses sampled from the library match assimp's own key data
// interpolated by time.
#include <cmath>

#include <assimp/cimport.h>
#include <gtest/gtest.h>

#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::SkeletonType;

namespace {

std::vector<char> read_bytes(const std::string& path) {
    const std::string s = test::read_text(path);
    return std::vector<char>(s.begin(), s.end());
}

template <class Key, class Value>
Value by_time(const Key* keys, unsigned n, double t, Value (*mix)(const Value&, const Value&, float)) {
    if (t <= keys[0].mTime || n == 1) return keys[0].mValue;
    if (t >= keys[n - 1].mTime) return keys[n - 1].mValue;
    unsigned j = 1;
    while (keys[j].mTime < t) ++j;
    return mix(keys[j - 1].mValue, keys[j].mValue, float((t - keys[j - 1].mTime) / (keys[j].mTime - keys[j - 1].mTime)));
}
aiVector3D lerp3(const aiVector3D& a, const aiVector3D& b, float f) { return a + (b - a) * f; }
aiQuaternion slerp4(const aiQuaternion& a, const aiQuaternion& b, float f) {
    aiQuaternion o;
    aiQuaternion::Interpolate(o, a, b, f);
    return o;
}

// Loads `file` as skeleton and clip of a type, then compares every channel at the given times.
void compare_with_original(const std::string& file, const char* skeleton_ext, const char* clip_name,
                           const std::vector<float>& times, float tolerance) {
    const std::string path = test::shared_assets_dir() + "/" + file;
    const std::vector<char> bytes = read_bytes(path);
    ASSERT_FALSE(bytes.empty()) << path;
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
            const aiVector3D p = by_time(ch->mPositionKeys, ch->mNumPositionKeys, t * rate, &lerp3);
            aiQuaternion q = by_time(ch->mRotationKeys, ch->mNumRotationKeys, t * rate, &slerp4);
            q.Normalize();
            const osg::Matrixf s = m->sample_animation(node, 0, t, false);
            const osg::Quat r = s.getRotate();
            const double dot = std::fabs(r.x() * q.x + r.y() * q.y + r.z() * q.z + r.w() * q.w);
            EXPECT_NEAR(dot, 1.0, tolerance) << ch->mNodeName.C_Str() << " at " << t;
            const float scale = std::max(1.0f, p.Length());
            EXPECT_NEAR(s(3, 0), p.x, tolerance * scale) << ch->mNodeName.C_Str() << " at " << t;
            EXPECT_NEAR(s(3, 1), p.y, tolerance * scale);
            EXPECT_NEAR(s(3, 2), p.z, tolerance * scale);
            ++compared;
        }
    }
    EXPECT_GT(compared, 0);
    aiReleaseImport(original);
}

}  // namespace

class RealClips : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::shared_assets_present()) GTEST_SKIP() << "shared assets are absent";
    }
};

// glTF keys (1000 ticks per second, every 41.67 ticks from 41.67) are mended to 30 per second: on
// the new key times the values are exact, between them close.
TEST_F(RealClips, CesiumManGltfKeysAreMended) {
    compare_with_original("CesiumMan/CesiumMan.assbin", ".anim", "walk.assbin",
                          {0.0f, 1.0f / 30, 0.5f, 1.0f, 29.0f / 30, 1.9f, 2.0f}, 1e-4f);
    compare_with_original("CesiumMan/CesiumMan.assbin", ".anim", "walk.assbin", {0.013f, 0.71f, 1.234f, 1.99f},
                          2e-2f);
}

TEST_F(RealClips, CesiumManFbxWholeTicksAreKept) {
    compare_with_original("CesiumMan/CesiumMan.fbx", ".fbx", "walk.fbx", {0.0f, 0.3f, 1.0f, 1.37f, 1.95f}, 1e-4f);
}

TEST_F(RealClips, RiggedSimple) {
    compare_with_original("RiggedSimple/RiggedSimple.assbin", ".anim", "bend.assbin", {0.0f, 0.4f, 1.0f, 2.0f}, 2e-2f);
}
