// The assimp-binary structure check: the sample files pass; truncated and mutated images are refused
// before assimp sees them, for clips, skeletons and meshes alike.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "animator/library/AssbinCheck.h"
#include "tests/library/LibraryTestUtil.h"

namespace {

using Animator::AssbinCheck;
using namespace libtest;

std::vector<char> bytes(const std::string& path) {
    const std::string text = test::read_text(path);
    return std::vector<char>(text.begin(), text.end());
}

const char* const SAMPLES[] = {"/animations/biped/idle.assbin", "/animations/biped.anim",
                               "/models/biped/biped_body.assbin"};

TEST(AssbinCheck, SampleFilesPassAndEveryTruncationIsRefused) {
    for (const char* sample : SAMPLES) {
        const std::vector<char> image = bytes(test::data_dir() + sample);
        ASSERT_FALSE(image.empty()) << sample;
        ASSERT_TRUE(AssbinCheck::is_assbin(image.data(), image.size()));
        EXPECT_EQ(AssbinCheck::check(image.data(), image.size()), "") << sample;
        for (size_t size = 0; size < image.size(); size += 1 + size / 7)
            EXPECT_NE(AssbinCheck::check(image.data(), size), "") << sample << " cut at " << size;
    }
    EXPECT_FALSE(AssbinCheck::is_assbin("Kaydara FBX Binary", 18));
    EXPECT_TRUE(AssbinCheck::accept("Kaydara FBX Binary", 18, "x.fbx")) << "other formats keep assimp's checks";
}

TEST(AssbinCheck, DeclaredCountsThatPassTheFileAreRefused) {
    // One channel with two position keys; each count the file declares is then raised in place.
    std::vector<char> image = assbin_clip(10, 25, {make_channel("bone", {aiVectorKey(0, aiVector3D()), aiVectorKey(10, aiVector3D())},
                                                                {aiQuatKey(0, aiQuaternion())})});
    ASSERT_EQ(AssbinCheck::check(image.data(), image.size()), "");
    int refused = 0, mutations = 0;
    for (size_t at = 512; at + 4 <= image.size(); at += 4) {
        std::vector<char> bad = image;
        const uint32_t huge = 0x40000000u;
        std::memcpy(&bad[at], &huge, 4);
        ++mutations;
        if (AssbinCheck::check(bad.data(), bad.size()) != "") ++refused;
    }
    // Every word is a count, a size, a magic, a name length or data; a huge value is refused wherever
    // it is structure (only key values and matrices, which are data, may pass).
    EXPECT_GT(refused, mutations / 3);
    std::vector<char> compressed_bomb = image;
    compressed_bomb[62] = 1;  // says compressed, but what follows is no zlib stream
    EXPECT_NE(AssbinCheck::check(compressed_bomb.data(), compressed_bomb.size()), "");
}

TEST(AssbinCheck, LoadersSkipBrokenBinaryClipsSkeletonsAndMeshesWithAMessage) {
    const std::vector<char> clip = bytes(test::data_dir() + "/animations/biped/idle.assbin");
    const std::vector<char> skeleton = bytes(test::data_dir() + "/animations/biped.anim");
    SkeletonType type("cut", false);
    type.write("cut.anim", std::vector<char>(skeleton.begin(), skeleton.begin() + skeleton.size() / 2));
    type.clip("idle.lua");
    {
        test::LogCapture log;
        auto m = type.load();
        EXPECT_FALSE(m->is_loaded());
        EXPECT_TRUE(log.has("error loading /animations/cut.anim")) << log.dump();
    }
    SkeletonType clips("clips");
    clips.clip("good.lua");
    clips.clip("cut.assbin", std::vector<char>(clip.begin(), clip.begin() + clip.size() - 100));
    clips.clip("header.anim", std::vector<char>(clip.begin(), clip.begin() + 600));
    test::LogCapture log;
    auto m = clips.load();
    ASSERT_TRUE(m->is_loaded());
    EXPECT_EQ(m->get_num_animations(), 1);
    EXPECT_TRUE(log.has("error loading cut.assbin") && log.has("error loading header.anim")) << log.dump();

    const std::vector<char> mesh = bytes(test::data_dir() + "/models/biped/biped_body.assbin");
    EXPECT_EQ(Animator::import_scene_from_memory(mesh.data(), mesh.size() / 3, "/models/body.assbin"), nullptr);
    EXPECT_TRUE(log.has("error loading /models/body.assbin")) << log.dump();
}

}  // namespace
