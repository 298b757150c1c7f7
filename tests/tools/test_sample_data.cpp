// The sample character under data/: the assimp files read back with the expected skeleton, keys,
// root motion and skinning, every Lua descriptor runs, the Lua clips match the binary ones, and the
// generator writes identical bytes on every run (and what it writes is what data/ holds).
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <assimp/cimport.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/types.h>
#include <gtest/gtest.h>
#include <lua.hpp>

#include "animator/util/MathUtils.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr float PI = 3.14159265f;

struct ClipInfo {
    const char* name;
    int duration;  // ticks at 30 per second
    bool loops;
    float travel;  // root distance along +X over the clip, metres
};

const ClipInfo CLIPS[] = {
    {"idle", 60, true, 0.0f},          {"idle_look", 90, true, 0.0f},      {"walk_start", 24, false, 0.4f},
    {"walk_loop_slow", 30, true, 1.0f}, {"walk_loop_fast", 30, true, 2.0f}, {"walk_stop", 24, false, 0.4f},
    {"turn_left", 30, false, 0.0f},     {"turn_right", 30, false, 0.0f},    {"wave", 45, false, 0.0f},
};

std::string animations_dir() { return test::data_dir() + "/animations"; }
std::string clip_file(const std::string& name) { return animations_dir() + "/biped/" + name + ".assbin"; }

// A scene read the way the plug-in reads clip files: from memory, no format hint.
class Scene {
public:
    explicit Scene(const std::string& path, unsigned flags = 0) {
        const std::string bytes = test::read_text(path);
        if (!bytes.empty())
            _scene = aiImportFileFromMemory(bytes.data(), static_cast<unsigned>(bytes.size()), flags, "");
    }
    ~Scene() {
        if (_scene) aiReleaseImport(_scene);
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;
    const aiScene* operator->() const { return _scene; }
    explicit operator bool() const { return _scene != nullptr; }

    // Every node by name.
    std::map<std::string, const aiNode*> nodes() const {
        std::map<std::string, const aiNode*> map;
        std::function<void(const aiNode*)> add = [&](const aiNode* n) {
            map[n->mName.C_Str()] = n;
            for (unsigned i = 0; i < n->mNumChildren; ++i) add(n->mChildren[i]);
        };
        add(_scene->mRootNode);
        return map;
    }
    const aiNodeAnim* channel(const std::string& node) const {
        const aiAnimation* anim = _scene->mAnimations[0];
        for (unsigned c = 0; c < anim->mNumChannels; ++c)
            if (node == anim->mChannels[c]->mNodeName.C_Str()) return anim->mChannels[c];
        return nullptr;
    }

private:
    const aiScene* _scene = nullptr;
};

aiMatrix4x4 global_transform(const aiNode* node) {
    aiMatrix4x4 m = node->mTransformation;
    for (const aiNode* p = node->mParent; p; p = p->mParent) m = p->mTransformation * m;
    return m;
}

TEST(SampleSkeleton, HumanoidHierarchyYUpFacingX) {
    Scene scene(animations_dir() + "/biped.anim");
    ASSERT_TRUE(scene) << aiGetErrorString();
    const auto nodes = scene.nodes();
    EXPECT_TRUE(nodes.size() >= 40u && nodes.size() <= 70u) << nodes.size();
    EXPECT_EQ(scene->mNumMeshes + scene->mNumAnimations, 0u);
    ASSERT_EQ(scene->mRootNode->mNumChildren, 1u);
    EXPECT_STREQ(scene->mRootNode->mChildren[0]->mName.C_Str(), "biped");
    EXPECT_EQ(nodes.count("bounding_box") + nodes.count("root"), 0u) << "'root' would compete with the root bone";
    for (const char* name : {"biped_pelvis", "biped_spine1", "biped_head", "biped_upperarm_L", "biped_forearm_R",
                             "biped_hand_L", "biped_index1_R", "biped_thigh_L", "biped_calf_R", "biped_toe_R"})
        EXPECT_EQ(nodes.count(name), 1u) << name;
    ASSERT_EQ(nodes.count("biped_hand_R__conn_weapon"), 1u);
    EXPECT_STREQ(nodes.at("biped_hand_R__conn_weapon")->mParent->mName.C_Str(), "biped_hand_R");
    // The head is above the root, the right side is +Z, toes point forward.
    EXPECT_GT(global_transform(nodes.at("biped_head_end")).b4, 1.7f);
    EXPECT_NEAR(global_transform(nodes.at("biped")).b4, 0.98f, 0.05f);
    EXPECT_GT(global_transform(nodes.at("biped_hand_R")).c4, 0.1f);
    EXPECT_LT(global_transform(nodes.at("biped_hand_L")).c4, -0.1f);
    EXPECT_GT(global_transform(nodes.at("biped_toe_end_L")).a4, 0.1f);
}

TEST(SampleClips, OneUnitKeyPerTickOnSkeletonNodesAndStraightRootTravel) {
    const auto skeleton = Scene(animations_dir() + "/biped.anim").nodes();  // only the names are kept
    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        Scene scene(clip_file(info.name));
        ASSERT_TRUE(scene && scene->mNumAnimations == 1u) << aiGetErrorString();
        const aiAnimation* anim = scene->mAnimations[0];
        EXPECT_STREQ(anim->mName.C_Str(), info.name);
        EXPECT_EQ(anim->mTicksPerSecond, 30.0);
        EXPECT_EQ(anim->mDuration, info.duration);
        EXPECT_EQ(scene.nodes().size(), skeleton.size());
        EXPECT_GT(anim->mNumChannels, 1u);
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = anim->mChannels[c];
            SCOPED_TRACE(ch->mNodeName.C_Str());
            EXPECT_EQ(skeleton.count(ch->mNodeName.C_Str()), 1u);
            const unsigned keys = info.duration + 1;
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
        const aiNodeAnim* root = scene.channel("biped");
        ASSERT_NE(root, nullptr);
        EXPECT_NEAR(root->mPositionKeys[info.duration].mValue.x - root->mPositionKeys[0].mValue.x, info.travel, 1e-4);
        for (unsigned k = 0; k < root->mNumPositionKeys; ++k) {
            EXPECT_NEAR(root->mPositionKeys[k].mValue.z, 0.0f, 1e-6);
            EXPECT_NEAR(root->mPositionKeys[k].mValue.y, 0.98f, 0.05f);  // pelvis height, small bob
        }
    }
}

TEST(SampleClips, WalksRampBetweenRestAndWalkingSpeedAndTurnsEndAtQuarterHeadings) {
    // Root speed over the first and the last tick, m/s.
    const std::tuple<const char*, float, float> speeds[] = {
        {"walk_start", 0, 1}, {"walk_stop", 1, 0}, {"walk_loop_slow", 1, 1}, {"walk_loop_fast", 2, 2}};
    for (const auto& [name, first, last] : speeds) {
        SCOPED_TRACE(name);
        Scene scene(clip_file(name));
        ASSERT_TRUE(scene);
        const aiVectorKey* keys = scene.channel("biped")->mPositionKeys;
        const unsigned n = scene.channel("biped")->mNumPositionKeys;
        EXPECT_NEAR((keys[1].mValue.x - keys[0].mValue.x) * 30, first, 0.05f);
        EXPECT_NEAR((keys[n - 1].mValue.x - keys[n - 2].mValue.x) * 30, last, 0.05f);
    }
    const auto heading = [](const aiQuaternion& q) {
        const aiVector3D x = q.Rotate(aiVector3D(1, 0, 0));
        return Animator::get_heading(osg::Vec3f(x.x, x.y, x.z));
    };
    for (const auto& [name, end_heading] : {std::pair<const char*, float>{"turn_left", PI / 2}, {"turn_right", -PI / 2}}) {
        SCOPED_TRACE(name);
        Scene scene(clip_file(name));
        ASSERT_TRUE(scene);
        const aiNodeAnim* root = scene.channel("biped");
        const aiQuaternion end = root->mRotationKeys[root->mNumRotationKeys - 1].mValue;
        EXPECT_NEAR(heading(root->mRotationKeys[0].mValue), 0.0f, 1e-5);
        EXPECT_NEAR(heading(end), end_heading, 1e-4);
        EXPECT_NEAR(end.Rotate(aiVector3D(0, 1, 0)).y, 1.0f, 1e-5) << "the root stays upright";
    }
}

TEST(SampleMeshes, SkinnedBodiesWithBoundsAndFewerTrianglesInLod1) {
    unsigned faces[2] = {0, 0};
    for (int lod = 0; lod < 2; ++lod) {
        const std::string file = lod ? "biped_body_lod1.assbin" : "biped_body.assbin";
        SCOPED_TRACE(file);
        // The flags the plug-in imports model meshes with.
        Scene scene(test::data_dir() + "/models/biped/" + file, aiProcess_CalcTangentSpace | aiProcess_Triangulate);
        ASSERT_TRUE(scene && scene->mNumMeshes == 2u) << aiGetErrorString();
        const auto nodes = scene.nodes();
        ASSERT_EQ(nodes.count("bounding_box"), 1u);
        ASSERT_EQ(nodes.at("bounding_box")->mNumMeshes, 1u);
        const aiMesh* box = scene->mMeshes[nodes.at("bounding_box")->mMeshes[0]];
        aiVector3D lo(1e9f, 1e9f, 1e9f), hi(-1e9f, -1e9f, -1e9f);
        for (unsigned v = 0; v < box->mNumVertices; ++v)
            for (int i = 0; i < 3; ++i) {
                lo[i] = std::min(lo[i], box->mVertices[v][i]);
                hi[i] = std::max(hi[i], box->mVertices[v][i]);
            }
        EXPECT_TRUE(box->mNumVertices == 8u && lo == aiVector3D(-0.5f, 0, -0.5f) && hi == aiVector3D(0.5f, 1.9f, 0.5f));

        const aiMesh* body = scene->mMeshes[scene->mMeshes[0] == box ? 1 : 0];
        faces[lod] = body->mNumFaces;
        EXPECT_TRUE(body->HasNormals() && body->HasTangentsAndBitangents() && body->HasTextureCoords(0));
        EXPECT_EQ(body->mPrimitiveTypes, static_cast<unsigned>(aiPrimitiveType_TRIANGLE));
        aiString texture;
        EXPECT_EQ(scene->mMaterials[body->mMaterialIndex]->GetTexture(aiTextureType_DIFFUSE, 0, &texture), AI_SUCCESS);
        EXPECT_STREQ(texture.C_Str(), "biped_diffuse.png");
        std::vector<float> weight_sum(body->mNumVertices, 0.0f);
        std::vector<int> influences(body->mNumVertices, 0);
        for (unsigned b = 0; b < body->mNumBones; ++b) {
            const aiBone* bone = body->mBones[b];
            ASSERT_EQ(nodes.count(bone->mName.C_Str()), 1u) << bone->mName.C_Str();
            EXPECT_TRUE((global_transform(nodes.at(bone->mName.C_Str())) * bone->mOffsetMatrix).Equal(aiMatrix4x4(), 1e-5f))
                << "the offset of " << bone->mName.C_Str() << " undoes its bind transform";
            for (unsigned w = 0; w < bone->mNumWeights; ++w) {
                weight_sum[bone->mWeights[w].mVertexId] += bone->mWeights[w].mWeight;
                ++influences[bone->mWeights[w].mVertexId];
            }
        }
        for (unsigned v = 0; v < body->mNumVertices; ++v) {
            EXPECT_NEAR(weight_sum[v], 1.0f, 1e-5) << "vertex " << v;
            EXPECT_TRUE(influences[v] >= 1 && influences[v] <= 4) << "vertex " << v;
        }
        if (lod == 0) {
            EXPECT_TRUE(body->mNumVertices >= 200u && body->mNumVertices <= 1000u);
        }
    }
    EXPECT_TRUE(faces[1] > 0u && faces[1] < faces[0]);
}

// Runs a chunk in a fresh state and hands the state to `inspect` with the chunk's results on the
// stack; the error text when loading or running fails, else empty.
std::string run_lua(const std::string& path, const std::function<void(lua_State*)>& inspect = {}) {
    const std::string text = test::read_text(path);
    if (text.empty()) return "empty or missing";
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    std::string error;
    if (luaL_loadbuffer(L, text.data(), text.size(), path.c_str()) != 0 || lua_pcall(L, 0, LUA_MULTRET, 0) != 0)
        error = lua_tostring(L, -1) ? lua_tostring(L, -1) : "error";
    else if (inspect)
        inspect(L);
    lua_close(L);
    return error;
}

std::string field_string(lua_State* L, int index, const char* key) {
    lua_getfield(L, index, key);
    std::string s = lua_isstring(L, -1) ? lua_tostring(L, -1) : "";
    lua_pop(L, 1);
    return s;
}

// Element `i` (from 1) of the table on top, as a number.
double element(lua_State* L, int i) {
    lua_rawgeti(L, -1, i);
    const double v = lua_tonumber(L, -1);
    lua_pop(L, 1);
    return v;
}

TEST(SampleDescriptors, EveryLuaFileRunsAndDefinesWhatItShould) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::data_dir())) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".lua" && ext != ".skel" && ext != ".chanimgpu") continue;
        ++count;
        EXPECT_EQ(run_lua(entry.path().string()), "") << entry.path();
    }
    EXPECT_GE(count, 20);

    const std::tuple<const char*, const char*, size_t> spaces[] = {
        {"walk_start", "animation", 0}, {"walk", "1D", 2}, {"walk_stop", "animation", 0}, {"turn", "1D", 3},
        {"locomotion", "2D", 6}};
    for (const auto& [name, type, samples] : spaces)
        run_lua(animations_dir() + "/biped/blend_space/" + name + ".lua", [&, name = name](lua_State* L) {
            ASSERT_TRUE(lua_istable(L, -1)) << name;
            EXPECT_EQ(field_string(L, -1, "type"), type) << name;
            EXPECT_EQ(field_string(L, -1, "name"), name);
            EXPECT_EQ(lua_objlen(L, -1), samples) << name;
        });
    run_lua(animations_dir() + "/biped/graph/biped_graph.lua", [](lua_State* L) {
        lua_getglobal(L, "anim_states");
        for (const char* state : {"Idle", "S_MoveStart", "S_Move", "S_MoveStopRU", "S_Turn"}) {
            lua_getfield(L, -1, state);
            EXPECT_TRUE(lua_istable(L, -1)) << state;
            lua_pop(L, 1);
        }
        lua_getglobal(L, "transitions");
        EXPECT_EQ(lua_objlen(L, -1), 7u);
        lua_getglobal(L, "default_blendspace");
        EXPECT_EQ(field_string(L, -1, "name"), "idle");
    });
    run_lua(animations_dir() + "/biped/override/wave.lua", [](lua_State* L) {
        EXPECT_EQ(field_string(L, -1, "animation"), "wave");
        lua_getfield(L, -1, "bones");
        EXPECT_EQ(lua_objlen(L, -1), 4u);
    });
    run_lua(animations_dir() + "/biped/route_planner.lua", [](lua_State* L) {
        lua_getglobal(L, "animations");
        ASSERT_EQ(lua_objlen(L, -1), 3u);
        lua_rawgeti(L, -1, 2);
        EXPECT_EQ(field_string(L, -1, "name"), "walk");
    });
}

// The Lua copies name the root "biped_lua" where the binary files say "biped".
std::string binary_name(const std::string& lua_name) { return lua_name == "biped_lua" ? "biped" : lua_name; }

TEST(SampleDescriptors, LuaSkeletonAndClipsMatchTheBinaryOnes) {
    Scene skeleton(animations_dir() + "/biped.anim");
    ASSERT_TRUE(skeleton);
    const auto nodes = skeleton.nodes();
    size_t bones = 0;
    std::function<void(lua_State*)> walk = [&](lua_State* L) {
        for (lua_pushnil(L); lua_next(L, -2) != 0; lua_pop(L, 2)) {
            const std::string name = binary_name(lua_tostring(L, -2));
            ++bones;
            lua_getfield(L, -1, "m");
            ASSERT_EQ(nodes.count(name), 1u) << name;
            const aiMatrix4x4& m = nodes.at(name)->mTransformation;
            EXPECT_TRUE(lua_objlen(L, -1) == 16u && std::abs(element(L, 13) - m.a4) < 1e-5 &&
                        std::abs(element(L, 14) - m.b4) < 1e-5 && std::abs(element(L, 15) - m.c4) < 1e-5)
                << name;
            lua_pop(L, 1);
            lua_getfield(L, -1, "children");
            if (lua_istable(L, -1)) walk(L);
        }
    };
    EXPECT_EQ(run_lua(animations_dir() + "/biped_lua.skel", [&](lua_State* L) {
                  lua_getglobal(L, "skeleton");
                  walk(L);
              }), "");
    EXPECT_EQ(bones + 1, nodes.size()) << "the same bones apart from the scene root";

    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        Scene scene(clip_file(info.name));
        ASSERT_TRUE(scene);
        unsigned channels = 0;
        EXPECT_EQ(run_lua(animations_dir() + "/biped_lua/" + info.name + ".lua", [&](lua_State* L) {
                      lua_getglobal(L, "orn_character_animation");
                      EXPECT_EQ(field_string(L, -1, "rate"), "30");
                      EXPECT_EQ(field_string(L, -1, "duration"), std::to_string(info.duration));
                      lua_getfield(L, -1, "animation");
                      for (lua_pushnil(L); lua_next(L, -2) != 0; lua_pop(L, 1)) {
                          ++channels;
                          const aiNodeAnim* ch = scene.channel(binary_name(lua_tostring(L, -2)));
                          ASSERT_NE(ch, nullptr) << lua_tostring(L, -2);
                          ASSERT_EQ(lua_objlen(L, -1), static_cast<size_t>(info.duration + 1));
                          for (int k = 0; k <= info.duration; ++k) {
                              lua_rawgeti(L, -1, k + 1);
                              lua_getfield(L, -1, "s");
                              EXPECT_EQ(lua_objlen(L, -1), 3u);
                              lua_getfield(L, -2, "t");
                              EXPECT_NEAR(element(L, 1), ch->mPositionKeys[k].mValue.x, 1e-5);
                              lua_getfield(L, -3, "r");
                              EXPECT_NEAR(element(L, 2), ch->mRotationKeys[k].mValue.y, 1e-5);
                              EXPECT_NEAR(element(L, 4), ch->mRotationKeys[k].mValue.w, 1e-5);
                              lua_pop(L, 4);
                          }
                      }
                  }), "");
        EXPECT_EQ(channels, scene->mAnimations[0]->mNumChannels);
    }
}

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
    EXPECT_GE(a.size(), 30u);
    EXPECT_TRUE(a == tree_contents(second.path() + "/out")) << "two runs differ";
    // A stale copy in data/ means the tool was changed without running it.
    size_t total = 0;
    for (const auto& [name, bytes] : a) {
        total += bytes.size();
        EXPECT_TRUE(test::read_text(test::data_dir() + "/" + name) == bytes) << name << " is stale";
    }
    EXPECT_LT(total, 2u * 1024 * 1024);
}

}  // namespace
