// Clip descriptors and clip files loaded by several pool workers at once give the indices and key
// data of a load with a single worker.
#include <gtest/gtest.h>

#include "host/Tasks.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;

namespace {

struct Snapshot {
    std::vector<std::string> names;
    std::vector<std::vector<float>> keys;
};

Snapshot load_with(unsigned workers, const libtest::SkeletonType& type) {
    const unsigned before = orn::get_pool_workers();
    orn::set_pool_workers(workers);
    auto m = type.load();
    orn::set_pool_workers(before);
    Snapshot s;
    for (const char* n : m->get_animation_names()) s.names.push_back(n);
    for (int c = 0; c < m->get_num_animations(); ++c) {
        std::vector<float> keys;
        const auto* d = m->get_description(c);
        for (const aiNodeAnim* ch : d->channels) {
            if (!ch) continue;
            for (unsigned k = 0; k < ch->mNumPositionKeys; ++k) keys.push_back(ch->mPositionKeys[k].mValue.y);
            for (unsigned k = 0; k < ch->mNumRotationKeys; ++k) keys.push_back(ch->mRotationKeys[k].mValue.z);
        }
        for (const auto& r : d->root_motion) keys.push_back(r.position[0]);
        EXPECT_EQ(m->get_animation_index(s.names[c]), c);
        s.keys.push_back(keys);
    }
    return s;
}

}  // namespace

TEST(ParallelClipLoading, FiftyDescriptorsAndTenFilesMatchSerialLoad) {
    libtest::SkeletonType type("parallel");
    for (int i = 0; i < 50; ++i) {
        std::vector<libtest::Frame> spine;
        for (int f = 0; f < 11; ++f) spine.push_back({{0, 0.5f + 0.01f * i, 0}, {0, 0, 0.001f * (f + i), 1}});
        type.clip("clip" + std::to_string(i) + ".lua",
                  libtest::clip_descriptor(30, 10, {{"parallel", libtest::walk_frames(11, 0.01f * (i + 1))},
                                                    {"spine", spine}}));
    }
    // File clips are read and imported while the skeleton task may still be running.
    for (int i = 0; i < 10; ++i) {
        std::vector<aiVectorKey> positions;
        std::vector<aiQuatKey> rotations;
        for (int k = 0; k < 11; ++k) {
            positions.push_back(aiVectorKey(k, aiVector3D(0.02f * k * (i + 1), 1.0f, 0.0f)));
            rotations.push_back(aiQuatKey(k, aiQuaternion(1.0f, 0.0f, 0.0f, 0.0f)));
        }
        aiAnimation* anim = libtest::make_animation(10, 30, {libtest::make_channel("parallel", positions, rotations)});
        type.clip("file" + std::to_string(i) + ".assbin", libtest::to_assbin(libtest::make_scene(anim)));
    }
    const Snapshot serial = load_with(1, type);
    const Snapshot parallel = load_with(4, type);
    ASSERT_EQ(serial.names.size(), 60u);
    EXPECT_EQ(serial.names, parallel.names);
    EXPECT_EQ(serial.keys, parallel.keys);
}
