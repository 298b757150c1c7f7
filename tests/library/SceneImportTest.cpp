// The import of skeleton, mesh and clip scenes from file images: the sample files import, and a file
// whose content would go to a reader of assimp that runs past its buffer is refused, by every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "animator/library/SceneImport.h"
#include "tests/library/LibraryTestUtil.h"

namespace {

using namespace Animator;

std::vector<char> bytes(const std::string& path) {
    const std::string text = test::read_text(path);
    return std::vector<char>(text.begin(), text.end());
}

// A fuzzed ".anim" that assimp detects as Open Game Engine Exchange text; assimp 5.2's reader runs past
// the end of its buffer on it until it faults.
const unsigned char OPEN_GEX[] = {
    0x41, 0x53, 0x53, 0x49, 0x4d, 0x50, 0x2e, 0x62, 0x69, 0x6e, 0x61, 0x72, 0x79, 0x71, 0x33, 0x6f,
    0x6d, 0x70, 0x2e, 0x7b, 0x00, 0x00, 0x76, 0x65, 0x72, 0x74, 0x65, 0x78, 0x61, 0x72, 0x72, 0x61,
    0x79, 0x20, 0x28, 0x61, 0x74, 0x74, 0x72, 0x69, 0x62, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x6e, 0x63, 0x74, 0x69, 0x6f, 0x6e, 0x64, 0xb8, 0x61, 0x2e, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00};

TEST(SceneImport, SampleFilesImportAsSkeletonMeshAndClip) {
    const struct {
        const char* file;
        bool clip;
    } samples[] = {{"/animations/biped.anim", false}, {"/models/biped/biped_body.assbin", false},
                   {"/animations/biped/idle.assbin", true}};
    for (const auto& sample : samples) {
        const std::vector<char> image = bytes(test::data_dir() + sample.file);
        ASSERT_FALSE(image.empty()) << sample.file;
        const ScenePtr scene = sample.clip ? import_clip_from_memory(image.data(), image.size())
                                           : import_scene_from_memory(image.data(), image.size(), sample.file);
        ASSERT_NE(scene, nullptr) << sample.file;
        EXPECT_NE(scene->mRootNode, nullptr) << sample.file;
        if (sample.clip) {
            EXPECT_EQ(scene->mNumAnimations, 1u) << sample.file;
        }
    }
}

TEST(SceneImport, OpenGexContentIsRefusedWhateverTheFileIsNamed) {
    for (const char* path : {"/animations/biped_lua.anim", "/animations/biped_lua.fbx", "/models/body.assbin",
                             "/models/body.ogex", ""}) {
        EXPECT_EQ(import_scene_from_memory(OPEN_GEX, sizeof(OPEN_GEX), path), nullptr) << path;
    }
    EXPECT_EQ(import_clip_from_memory(OPEN_GEX, sizeof(OPEN_GEX)), nullptr);
}

}  // namespace
