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

// A scene holding one mesh of one face with `corners` vertices (indices 0, 1, ...) declared as `types`,
// as an assbin image, and where its primitive types and its first face index lie in that image.
struct MeshImage {
    std::vector<char> image;
    size_t types_at = 0, first_index_at = 0;
};

MeshImage mesh_image(unsigned corners, unsigned types) {
    aiScene* scene = new aiScene();
    scene->mRootNode = new aiNode("root");
    aiMesh* mesh = new aiMesh();
    mesh->mPrimitiveTypes = types;
    mesh->mNumVertices = corners;
    mesh->mVertices = new aiVector3D[corners];
    mesh->mNumFaces = 1;
    mesh->mFaces = new aiFace[1];
    mesh->mFaces[0].mNumIndices = corners;
    mesh->mFaces[0].mIndices = new unsigned[corners];
    for (unsigned i = 0; i < corners; ++i) {
        mesh->mVertices[i] = aiVector3D(float(i % 2), float(i / 2), 0);
        mesh->mFaces[0].mIndices[i] = i;
    }
    scene->mNumMeshes = 1;
    scene->mMeshes = new aiMesh*[1]{mesh};
    scene->mNumMaterials = 1;
    scene->mMaterials = new aiMaterial*[1]{new aiMaterial()};
    MeshImage out;
    out.image = to_assbin(scene);
    const uint32_t magic = 0x1237;  // the mesh chunk
    for (size_t at = 512; at + 4 <= out.image.size() && !out.types_at; at += 4)
        if (std::memcmp(&out.image[at], &magic, 4) == 0) out.types_at = at + 8;
    // Primitive types and five more words, the positions, then the face: its index count and indices.
    out.first_index_at = out.types_at + 6 * 4 + corners * 12 + 2;
    return out;
}

TEST(AssbinCheck, MeshFacesMustIndexTheVerticesAndMatchTheirDeclaredTypes) {
    const MeshImage quad = mesh_image(4, aiPrimitiveType_POLYGON);
    ASSERT_NE(quad.types_at, 0u);
    ASSERT_EQ(AssbinCheck::check(quad.image.data(), quad.image.size()), "");
    Animator::ScenePtr good = Animator::import_scene_from_memory(quad.image.data(), quad.image.size(), "quad.assbin");
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->mMeshes[0]->mNumFaces, 2u) << "the quad is triangulated";

    // A triangle declared as a polygon makes assimp's triangulation assert (the process aborts); a
    // quad declared as lines is left untriangulated.
    test::LogCapture log;
    const MeshImage triangle = mesh_image(3, aiPrimitiveType_POLYGON);
    EXPECT_EQ(AssbinCheck::check(triangle.image.data(), triangle.image.size()),
              "primitive types do not match the faces");
    EXPECT_EQ(Animator::import_scene_from_memory(triangle.image.data(), triangle.image.size(), "tri.assbin"), nullptr);
    std::vector<char> lines = quad.image;
    const uint32_t line = aiPrimitiveType_LINE;
    std::memcpy(&lines[quad.types_at], &line, 4);
    EXPECT_EQ(AssbinCheck::check(lines.data(), lines.size()), "primitive types do not match the faces");
    std::vector<char> unknown = quad.image;  // none declared: assimp works them out
    std::memset(&unknown[quad.types_at], 0, 4);
    EXPECT_EQ(AssbinCheck::check(unknown.data(), unknown.size()), "");

    // An index past the four vertices would be read by the post-processing as a vertex.
    std::vector<char> far = quad.image;
    const uint16_t index = 4;
    std::memcpy(&far[quad.first_index_at], &index, 2);
    EXPECT_EQ(AssbinCheck::check(far.data(), far.size()), "face index past the vertices");
    EXPECT_EQ(Animator::import_scene_from_memory(far.data(), far.size(), "quad.assbin"), nullptr);
    // A face of no indices.
    std::vector<char> empty = quad.image;
    std::memset(&empty[quad.first_index_at - 2], 0, 2);
    EXPECT_NE(AssbinCheck::check(empty.data(), empty.size()), "");
    EXPECT_TRUE(log.has("error loading tri.assbin: primitive types do not match the faces")) << log.dump();
    EXPECT_TRUE(log.has("error loading quad.assbin: face index past the vertices")) << log.dump();
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
