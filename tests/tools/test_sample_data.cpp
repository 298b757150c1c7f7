// The sample character under data/: the generator writes identical bytes on every run, data/ holds
// exactly what it writes and every Lua file there runs; the assimp files read back with the expected
// skeleton, keys, root motion and skinning, and the Lua copies of the skeleton and clips agree with them.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>
#include <lua.hpp>

#include "animator/util/MathUtils.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr float PI = 3.14159265f;

// Duration in ticks at 30 per second, whether it loops, root travel along +X (metres), root speed over
// the first and the last tick (m/s) and root heading on the last key (every clip starts facing +X).
struct ClipInfo { const char* name; int duration; bool loops; float travel, first_speed, last_speed, end_heading; };

const ClipInfo CLIPS[] = {
    {"idle", 60, true, 0, 0, 0, 0},            {"idle_look", 90, true, 0, 0, 0, 0},
    {"walk_start", 24, false, 0.4f, 0, 1, 0},  {"walk_loop_slow", 30, true, 1, 1, 1, 0},
    {"walk_loop_fast", 30, true, 2, 2, 2, 0},  {"walk_stop", 24, false, 0.4f, 1, 0, 0},
    {"turn_left", 30, false, 0, 0, 0, PI / 2}, {"turn_right", 30, false, 0, 0, 0, -PI / 2},
    {"wave", 45, false, 0, 0, 0, 0},
};

std::string animations_dir() { return test::data_dir() + "/animations"; }
std::string clip_file(const std::string& name) { return animations_dir() + "/biped/" + name + ".assbin"; }

// A scene read the way the plug-in reads clip files: from memory, no format hint; null when unreadable.
using Scene = std::unique_ptr<const aiScene, void (*)(const aiScene*)>;
Scene load(const std::string& path, unsigned flags = 0) {
    const std::string b = test::read_text(path);
    const aiScene* scene = b.empty() ? nullptr : aiImportFileFromMemory(b.data(), unsigned(b.size()), flags, "");
    return Scene(scene, aiReleaseImport);
}

// Every node by name.
std::map<std::string, const aiNode*> nodes_of(const Scene& scene) {
    std::map<std::string, const aiNode*> map;
    std::function<void(const aiNode*)> add = [&](const aiNode* n) {
        map[n->mName.C_Str()] = n;
        for (unsigned i = 0; i < n->mNumChildren; ++i) add(n->mChildren[i]);
    };
    add(scene->mRootNode);
    return map;
}

aiMatrix4x4 global_transform(const aiNode* node) {
    aiMatrix4x4 m = node->mTransformation;
    for (const aiNode* p = node->mParent; p; p = p->mParent) m = p->mTransformation * m;
    return m;
}

// Runs a Lua file in a fresh state, then `query`; answers what the query returns as text, or the error.
std::string lua_query(const std::string& path, const char* query) {
    const std::string text = test::read_text(path);
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    const bool failed = text.empty() || luaL_loadbuffer(L, text.data(), text.size(), path.c_str()) ||
                        lua_pcall(L, 0, 0, 0) || luaL_loadstring(L, query) || lua_pcall(L, 0, 1, 0);
    const char* top = lua_gettop(L) > 0 ? lua_tostring(L, -1) : nullptr;
    const std::string answer = (failed ? "error: " : "") + std::string(top ? top : "");
    lua_close(L);
    return answer;
}

// The Lua copies name the root "biped_lua" where the binary files say "biped".
std::string binary_name(const std::string& lua_name) { return lua_name == "biped_lua" ? "biped" : lua_name; }

// One line per bone: name, parent ("-" for the root) and translation (numbers 13 to 15 of its matrix).
const char* const LUA_BONES = R"(local out = {}
local function walk(t, parent) for name, b in pairs(t) do
  out[#out + 1] = string.format('%s %s %.9g %.9g %.9g', name, parent, b.m[13], b.m[14], b.m[15])
  if b.children then walk(b.children, name) end end end
walk(skeleton, '-') return table.concat(out, '\n'))";

// Rate and duration, then one line per key: node, key, scale size, translation and rotation (x y z w).
const char* const LUA_KEYS = R"(local a = orn_character_animation
local out = { a.rate .. ' ' .. a.duration }
for node, keys in pairs(a.animation) do for k, key in ipairs(keys) do
  out[#out + 1] = table.concat({ node, k - 1, #key.s, unpack(key.t) }, ' ') .. ' ' .. table.concat(key.r, ' ')
end end return table.concat(out, '\n'))";

std::map<std::string, std::string> tree_contents(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = test::read_text(entry.path().string());
    return files;
}

TEST(SampleDataTool, WritesIdenticalBytesEveryRunAndMatchesData) {
    const std::string tool = std::string(ANIMATOR_BIN_DIR) + "/make_sample_data";
    ASSERT_TRUE(fs::exists(tool)) << "build the make_sample_data target first";
    test::TempDir first, second;
    ASSERT_EQ(std::system(("\"" + tool + "\" \"" + first.path() + "\" > /dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("\"" + tool + "\" \"" + second.path() + "/out\" > /dev/null").c_str()), 0);
    const auto a = tree_contents(first.path());
    EXPECT_TRUE(a == tree_contents(second.path() + "/out")) << "two runs differ";
    // A stale copy in data/ means the tool was changed without running it.
    const auto data = tree_contents(test::data_dir());
    EXPECT_EQ(data.size(), a.size()) << "data/ holds files the tool does not write";
    size_t total = 0;
    for (const auto& [name, bytes] : a) {
        total += bytes.size();
        EXPECT_TRUE(data.count(name) && data.at(name) == bytes) << name << " is stale";
        if (const std::string e = fs::path(name).extension(); e == ".lua" || e == ".skel" || e == ".chanimgpu") {
            EXPECT_EQ(lua_query(first.file(name), "return 'ran'"), "ran") << name;
        }
    }
    EXPECT_LT(total, 2u * 1024 * 1024);
}

TEST(SampleSkeleton, HumanoidUnderOneRootBoneYUpFacingXAndTheLuaCopyAgrees) {
    const Scene scene = load(animations_dir() + "/biped.anim");
    ASSERT_TRUE(scene) << aiGetErrorString();
    const auto nodes = nodes_of(scene);
    EXPECT_TRUE(nodes.size() >= 40u && nodes.size() <= 70u && scene->mNumMeshes + scene->mNumAnimations == 0u)
        << nodes.size();
    ASSERT_TRUE(scene->mRootNode->mNumChildren == 1u && nodes.count("biped") &&
                nodes.at("biped")->mParent == scene->mRootNode) << "one root bone, \"biped\"";
    EXPECT_EQ(nodes.count("bounding_box") + nodes.count("root"), 0u) << "'root' would compete with the root bone";
    for (const char* name : {"biped_pelvis", "biped_spine1", "biped_head", "biped_upperarm_L", "biped_forearm_R",
                             "biped_hand_L", "biped_index1_R", "biped_thigh_L", "biped_calf_R", "biped_toe_R"})
        EXPECT_EQ(nodes.count(name), 1u) << name;
    ASSERT_TRUE(nodes.count("biped_hand_R__conn_weapon") &&
                nodes.at("biped_hand_R__conn_weapon")->mParent == nodes.at("biped_hand_R"));
    // The head is above the root, the right side is +Z, toes point forward.
    EXPECT_GT(global_transform(nodes.at("biped_head_end")).b4, 1.7f);
    EXPECT_NEAR(global_transform(nodes.at("biped")).b4, 0.98f, 0.05f);
    EXPECT_GT(global_transform(nodes.at("biped_hand_R")).c4, 0.1f);
    EXPECT_LT(global_transform(nodes.at("biped_hand_L")).c4, -0.1f);
    EXPECT_GT(global_transform(nodes.at("biped_toe_end_L")).a4, 0.1f);

    std::istringstream bones(lua_query(animations_dir() + "/biped_lua.skel", LUA_BONES));
    size_t count = 0;
    std::string name, parent;
    for (aiVector3D t; bones >> name >> parent >> t.x >> t.y >> t.z; ++count) {
        const auto node = nodes.find(binary_name(name));
        ASSERT_NE(node, nodes.end()) << name;
        const aiMatrix4x4& m = node->second->mTransformation;
        EXPECT_LT((t - aiVector3D(m.a4, m.b4, m.c4)).Length(), 1e-5f) << name;
        EXPECT_EQ(parent == "-" ? scene->mRootNode : nodes.at(binary_name(parent)), node->second->mParent) << name;
    }
    EXPECT_EQ(count + 1, nodes.size()) << "the same bones apart from the scene root";
}

TEST(SampleClips, OneUnitKeyPerTickOnSkeletonNodesRootMotionAsDescribedAndTheLuaCopiesAgree) {
    const auto skeleton = nodes_of(load(animations_dir() + "/biped.anim"));  // only the names are kept
    const auto heading = [](const aiQuaternion& q) {
        const aiVector3D x = q.Rotate(aiVector3D(1, 0, 0));
        return Animator::get_heading(osg::Vec3f(x.x, x.y, x.z));
    };
    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        const Scene scene = load(clip_file(info.name));
        ASSERT_TRUE(scene && scene->mNumAnimations == 1u) << aiGetErrorString();
        const aiAnimation* anim = scene->mAnimations[0];
        const unsigned keys = info.duration + 1;
        EXPECT_TRUE(anim->mName == aiString(info.name) && anim->mTicksPerSecond == 30 &&
                    anim->mDuration == info.duration);
        EXPECT_EQ(nodes_of(scene).size(), skeleton.size());
        std::map<std::string, const aiNodeAnim*> channels;
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = channels[anim->mChannels[c]->mNodeName.C_Str()] = anim->mChannels[c];
            SCOPED_TRACE(ch->mNodeName.C_Str());
            EXPECT_EQ(skeleton.count(ch->mNodeName.C_Str()), 1u);
            ASSERT_TRUE(ch->mNumPositionKeys == keys && ch->mNumRotationKeys == keys && ch->mNumScalingKeys == keys);
            for (unsigned k = 0; k < keys; ++k) {
                const aiQuaternion& q = ch->mRotationKeys[k].mValue;
                EXPECT_TRUE(ch->mPositionKeys[k].mTime == k && ch->mRotationKeys[k].mTime == k) << k;
                EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0f, 1e-5);
            }
            if (info.loops) {
                EXPECT_TRUE(ch->mRotationKeys[0].mValue == ch->mRotationKeys[keys - 1].mValue);
            }
        }
        const aiNodeAnim* root = channels["biped"];
        ASSERT_TRUE(root && channels.size() > 1u);
        const aiVectorKey* pos = root->mPositionKeys;
        EXPECT_NEAR(pos[keys - 1].mValue.x - pos[0].mValue.x, info.travel, 1e-4);
        EXPECT_NEAR((pos[1].mValue.x - pos[0].mValue.x) * 30, info.first_speed, 0.05f);
        EXPECT_NEAR((pos[keys - 1].mValue.x - pos[keys - 2].mValue.x) * 30, info.last_speed, 0.05f);
        for (unsigned k = 0; k < keys; ++k)  // a straight path at pelvis height with a small bob
            EXPECT_TRUE(std::abs(pos[k].mValue.z) < 1e-6f && std::abs(pos[k].mValue.y - 0.98f) < 0.05f) << k;
        const aiQuaternion& end = root->mRotationKeys[keys - 1].mValue;
        EXPECT_NEAR(heading(root->mRotationKeys[0].mValue), 0.0f, 1e-5);
        EXPECT_NEAR(heading(end), info.end_heading, 1e-4);
        EXPECT_NEAR(end.Rotate(aiVector3D(0, 1, 0)).y, 1.0f, 1e-5) << "the root stays upright";

        // The Lua copy: every key of every channel, and nothing else.
        const std::string answer = lua_query(animations_dir() + "/biped_lua/" + info.name + ".lua", LUA_KEYS);
        std::istringstream lines(answer);
        int rate = 0, duration = 0, scales = 0;
        ASSERT_TRUE(lines >> rate >> duration && rate == 30 && duration == info.duration) << answer.substr(0, 200);
        unsigned lua_keys = 0, k = 0;
        std::string name;
        aiVector3D t;
        aiQuaternion r;
        for (; lines >> name >> k >> scales >> t.x >> t.y >> t.z >> r.x >> r.y >> r.z >> r.w; ++lua_keys) {
            const auto ch = channels.find(binary_name(name));
            ASSERT_TRUE(ch != channels.end() && k < keys) << name << " key " << k;
            const aiQuaternion& q = ch->second->mRotationKeys[k].mValue;
            EXPECT_TRUE(scales == 3 && (t - ch->second->mPositionKeys[k].mValue).Length() < 1e-5f &&
                        std::abs(r.x - q.x) + std::abs(r.y - q.y) + std::abs(r.z - q.z) + std::abs(r.w - q.w) < 1e-5f)
                << name << " key " << k;
        }
        EXPECT_EQ(lua_keys, channels.size() * keys) << "each (node, key) is listed once";
    }
}

TEST(SampleMeshes, SkinnedBodiesWithBoundsAndFewerTrianglesInLod1) {
    std::vector<unsigned> faces;
    for (const char* file : {"biped_body.assbin", "biped_body_lod1.assbin"}) {
        SCOPED_TRACE(file);
        // The flags the plug-in imports model meshes with.
        const Scene scene = load(test::data_dir() + "/models/biped/" + file,
                                 aiProcess_CalcTangentSpace | aiProcess_Triangulate | aiProcess_GenBoundingBoxes);
        ASSERT_TRUE(scene && scene->mNumMeshes == 2u) << aiGetErrorString();
        const auto nodes = nodes_of(scene);
        ASSERT_TRUE(nodes.count("bounding_box") && nodes.at("bounding_box")->mNumMeshes == 1u);
        const aiMesh* box = scene->mMeshes[nodes.at("bounding_box")->mMeshes[0]];
        EXPECT_TRUE(box->mNumVertices == 8u && box->mAABB.mMin == aiVector3D(-0.5f, 0, -0.5f) &&
                    box->mAABB.mMax == aiVector3D(0.5f, 1.9f, 0.5f));

        const aiMesh* body = scene->mMeshes[scene->mMeshes[0] == box ? 1 : 0];
        faces.push_back(body->mNumFaces);
        EXPECT_TRUE(body->HasNormals() && body->HasTangentsAndBitangents() && body->HasTextureCoords(0));
        EXPECT_EQ(body->mPrimitiveTypes, static_cast<unsigned>(aiPrimitiveType_TRIANGLE));
        aiString texture;
        EXPECT_TRUE(scene->mMaterials[body->mMaterialIndex]->GetTexture(aiTextureType_DIFFUSE, 0, &texture) ==
                        AI_SUCCESS && texture == aiString("biped_diffuse.png")) << texture.C_Str();
        std::vector<std::pair<float, int>> skin(body->mNumVertices);  // weight sum and bone count per vertex
        for (unsigned b = 0; b < body->mNumBones; ++b) {
            const aiBone* bone = body->mBones[b];
            const auto node = nodes.find(bone->mName.C_Str());
            ASSERT_NE(node, nodes.end()) << bone->mName.C_Str();
            EXPECT_TRUE((global_transform(node->second) * bone->mOffsetMatrix).Equal(aiMatrix4x4(), 1e-5f))
                << "the offset of " << node->first << " undoes its bind transform";
            for (unsigned w = 0; w < bone->mNumWeights; ++w) {
                skin[bone->mWeights[w].mVertexId].first += bone->mWeights[w].mWeight;
                ++skin[bone->mWeights[w].mVertexId].second;
            }
        }
        for (unsigned v = 0; v < body->mNumVertices; ++v)
            EXPECT_TRUE(std::abs(skin[v].first - 1.0f) < 1e-5f && skin[v].second >= 1 && skin[v].second <= 4)
                << "vertex " << v << ": weights " << skin[v].first << " over " << skin[v].second << " bones";
        EXPECT_TRUE(faces.size() > 1 || (body->mNumVertices >= 200u && body->mNumVertices <= 1000u))
            << body->mNumVertices << " vertices in lod 0";
    }
    EXPECT_TRUE(faces[1] > 0u && faces[1] < faces[0]) << "lod 1 has fewer triangles";
}

}  // namespace
