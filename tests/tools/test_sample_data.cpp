// The sample character under data/: the assimp files read back with the expected skeleton, keys,
// root motion and skinning, every Lua descriptor runs, the Lua clips match the binary ones, and the
// generator writes identical bytes on every run (and what it writes is what data/ holds).
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
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

// A scene read the way the plug-in reads clip files: from memory, no flags, no format hint.
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

private:
    const aiScene* _scene = nullptr;
};

void collect_nodes(const aiNode* node, std::vector<const aiNode*>& out) {
    out.push_back(node);
    for (unsigned i = 0; i < node->mNumChildren; ++i) collect_nodes(node->mChildren[i], out);
}

std::map<std::string, const aiNode*> node_map(const aiScene* scene) {
    std::vector<const aiNode*> nodes;
    collect_nodes(scene->mRootNode, nodes);
    std::map<std::string, const aiNode*> map;
    for (const aiNode* n : nodes) map[n->mName.C_Str()] = n;
    return map;
}

aiMatrix4x4 global_transform(const aiNode* node) {
    aiMatrix4x4 m = node->mTransformation;
    for (const aiNode* p = node->mParent; p; p = p->mParent) m = p->mTransformation * m;
    return m;
}

const aiNodeAnim* find_channel(const aiAnimation* anim, const std::string& node) {
    for (unsigned c = 0; c < anim->mNumChannels; ++c)
        if (node == anim->mChannels[c]->mNodeName.C_Str()) return anim->mChannels[c];
    return nullptr;
}

// Heading of a root rotation key: the turn of its X axis about Y.
float heading_of(const aiQuaternion& q) {
    const aiVector3D x = q.Rotate(aiVector3D(1, 0, 0));
    return Animator::get_heading(osg::Vec3f(x.x, x.y, x.z));
}

// ---- skeleton ---------------------------------------------------------------------------------

TEST(SampleSkeleton, AssimpSkeletonHasHumanoidHierarchy) {
    Scene scene(animations_dir() + "/biped.anim");
    ASSERT_TRUE(scene) << aiGetErrorString();
    const auto nodes = node_map(scene.operator->());
    EXPECT_GE(nodes.size(), 40u);
    EXPECT_LE(nodes.size(), 70u);
    EXPECT_EQ(scene->mNumMeshes, 0u);
    EXPECT_EQ(scene->mNumAnimations, 0u);
    ASSERT_EQ(scene->mRootNode->mNumChildren, 1u);
    EXPECT_STREQ(scene->mRootNode->mChildren[0]->mName.C_Str(), "biped");
    EXPECT_EQ(nodes.count("bounding_box"), 0u);
    EXPECT_EQ(nodes.count("root"), 0u);  // would compete with the root bone's name

    for (const char* name : {"biped_pelvis", "biped_spine1", "biped_neck", "biped_head", "biped_upperarm_L",
                             "biped_forearm_R", "biped_hand_L", "biped_index1_R", "biped_thigh_L", "biped_calf_R",
                             "biped_foot_L", "biped_toe_R"})
        EXPECT_EQ(nodes.count(name), 1u) << name;
    ASSERT_EQ(nodes.count("biped_hand_R__conn_weapon"), 1u);
    EXPECT_STREQ(nodes.at("biped_hand_R__conn_weapon")->mParent->mName.C_Str(), "biped_hand_R");

    // Y up, facing +X: the head is above the root, the right side is +Z, toes point forward.
    const aiMatrix4x4 head = global_transform(nodes.at("biped_head_end"));
    const aiMatrix4x4 root = global_transform(nodes.at("biped"));
    EXPECT_GT(head.b4, 1.7f);
    EXPECT_NEAR(root.b4, 0.98f, 0.05f);
    EXPECT_GT(global_transform(nodes.at("biped_hand_R")).c4, 0.1f);
    EXPECT_LT(global_transform(nodes.at("biped_hand_L")).c4, -0.1f);
    EXPECT_GT(global_transform(nodes.at("biped_toe_end_L")).a4, 0.1f);
    EXPECT_NEAR(global_transform(nodes.at("biped_toe_L")).b4, 0.0f, 0.05f);
}

// ---- clips ------------------------------------------------------------------------------------

TEST(SampleClips, OneKeyPerTickOnSkeletonNodes) {
    Scene skeleton(animations_dir() + "/biped.anim");
    ASSERT_TRUE(skeleton);
    const auto nodes = node_map(skeleton.operator->());
    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        Scene scene(animations_dir() + "/biped/" + info.name + ".assbin");
        ASSERT_TRUE(scene) << aiGetErrorString();
        ASSERT_EQ(scene->mNumAnimations, 1u);
        const aiAnimation* anim = scene->mAnimations[0];
        EXPECT_STREQ(anim->mName.C_Str(), info.name);
        EXPECT_EQ(anim->mTicksPerSecond, 30.0);
        EXPECT_EQ(anim->mDuration, info.duration);
        EXPECT_EQ(node_map(scene.operator->()).size(), nodes.size());
        ASSERT_NE(find_channel(anim, "biped"), nullptr);
        EXPECT_GT(anim->mNumChannels, 1u);
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = anim->mChannels[c];
            SCOPED_TRACE(ch->mNodeName.C_Str());
            EXPECT_EQ(nodes.count(ch->mNodeName.C_Str()), 1u);
            ASSERT_EQ(ch->mNumPositionKeys, static_cast<unsigned>(info.duration + 1));
            ASSERT_EQ(ch->mNumRotationKeys, static_cast<unsigned>(info.duration + 1));
            ASSERT_EQ(ch->mNumScalingKeys, static_cast<unsigned>(info.duration + 1));
            for (int k = 0; k <= info.duration; ++k) {
                EXPECT_EQ(ch->mPositionKeys[k].mTime, k);
                EXPECT_EQ(ch->mRotationKeys[k].mTime, k);
                const aiQuaternion& q = ch->mRotationKeys[k].mValue;
                EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0f, 1e-5);
            }
            if (info.loops) {
                const aiQuaternion& first = ch->mRotationKeys[0].mValue;
                const aiQuaternion& last = ch->mRotationKeys[info.duration].mValue;
                EXPECT_TRUE(first == last);
            }
        }
    }
}

TEST(SampleClips, RootTravelAlongForwardAxis) {
    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        Scene scene(animations_dir() + "/biped/" + info.name + ".assbin");
        ASSERT_TRUE(scene);
        const aiNodeAnim* root = find_channel(scene->mAnimations[0], "biped");
        ASSERT_NE(root, nullptr);
        const aiVector3D first = root->mPositionKeys[0].mValue;
        const aiVector3D last = root->mPositionKeys[info.duration].mValue;
        EXPECT_NEAR(last.x - first.x, info.travel, 1e-4);
        for (unsigned k = 0; k < root->mNumPositionKeys; ++k) {
            EXPECT_NEAR(root->mPositionKeys[k].mValue.z, 0.0f, 1e-6);
            EXPECT_NEAR(root->mPositionKeys[k].mValue.y, 0.98f, 0.05f);  // pelvis height, small bob
        }
    }
}

// Speed over one tick at the start and at the end of a clip, m/s.
std::pair<float, float> end_speeds(const std::string& clip) {
    Scene scene(animations_dir() + "/biped/" + clip + ".assbin");
    if (!scene) return {-1, -1};
    const aiNodeAnim* root = find_channel(scene->mAnimations[0], "biped");
    const unsigned n = root->mNumPositionKeys;
    return {(root->mPositionKeys[1].mValue.x - root->mPositionKeys[0].mValue.x) * 30,
            (root->mPositionKeys[n - 1].mValue.x - root->mPositionKeys[n - 2].mValue.x) * 30};
}

TEST(SampleClips, StartAndStopRampBetweenRestAndWalkingSpeed) {
    const auto start = end_speeds("walk_start");
    EXPECT_NEAR(start.first, 0.0f, 0.05f);
    EXPECT_NEAR(start.second, 1.0f, 0.05f);
    const auto stop = end_speeds("walk_stop");
    EXPECT_NEAR(stop.first, 1.0f, 0.05f);
    EXPECT_NEAR(stop.second, 0.0f, 0.05f);
    const auto slow = end_speeds("walk_loop_slow");
    EXPECT_NEAR(slow.first, 1.0f, 1e-3);
    const auto fast = end_speeds("walk_loop_fast");
    EXPECT_NEAR(fast.second, 2.0f, 1e-3);
}

TEST(SampleClips, TurnsEndAtQuarterHeadings) {
    const std::pair<const char*, float> turns[] = {{"turn_left", PI / 2}, {"turn_right", -PI / 2}};
    for (const auto& turn : turns) {
        SCOPED_TRACE(turn.first);
        Scene scene(animations_dir() + "/biped/" + turn.first + ".assbin");
        ASSERT_TRUE(scene);
        const aiNodeAnim* root = find_channel(scene->mAnimations[0], "biped");
        ASSERT_NE(root, nullptr);
        EXPECT_NEAR(heading_of(root->mRotationKeys[0].mValue), 0.0f, 1e-5);
        const aiQuaternion end = root->mRotationKeys[root->mNumRotationKeys - 1].mValue;
        EXPECT_NEAR(heading_of(end), turn.second, 1e-4);
        // The turn is about Y only: the root stays upright.
        EXPECT_NEAR(end.Rotate(aiVector3D(0, 1, 0)).y, 1.0f, 1e-5);
    }
}

TEST(SampleClips, WaveRaisesRightArmAndLeavesLegs) {
    Scene scene(animations_dir() + "/biped/wave.assbin");
    ASSERT_TRUE(scene);
    const aiAnimation* anim = scene->mAnimations[0];
    const aiNodeAnim* upperarm = find_channel(anim, "biped_upperarm_R");
    ASSERT_NE(upperarm, nullptr);
    // Half way through the arm is raised: the upper arm's down direction points up.
    const aiQuaternion raised = upperarm->mRotationKeys[22].mValue;
    EXPECT_GT(raised.Rotate(aiVector3D(0, -1, 0)).y, 0.5f);
    const aiNodeAnim* thigh = find_channel(anim, "biped_thigh_L");
    EXPECT_EQ(thigh, nullptr);
}

// ---- meshes -----------------------------------------------------------------------------------

struct MeshCheck {
    unsigned vertices = 0;
    unsigned faces = 0;
};

MeshCheck check_body(const std::string& file) {
    MeshCheck result;
    // The flags the plug-in imports model meshes with.
    Scene scene(test::data_dir() + "/models/biped/" + file, aiProcess_CalcTangentSpace | aiProcess_Triangulate);
    EXPECT_TRUE(scene) << file << ": " << aiGetErrorString();
    if (!scene) return result;
    const auto nodes = node_map(scene.operator->());
    EXPECT_EQ(nodes.count("biped"), 1u);
    EXPECT_EQ(scene->mNumMeshes, 2u);
    EXPECT_EQ(scene->mNumAnimations, 0u);

    const auto bounds = nodes.find("bounding_box");
    EXPECT_NE(bounds, nodes.end());
    if (bounds == nodes.end() || bounds->second->mNumMeshes != 1) return result;
    const aiMesh* box = scene->mMeshes[bounds->second->mMeshes[0]];
    EXPECT_EQ(box->mNumVertices, 8u);
    EXPECT_EQ(box->mNumBones, 0u);
    aiVector3D lo(1e9f, 1e9f, 1e9f), hi(-1e9f, -1e9f, -1e9f);
    for (unsigned v = 0; v < box->mNumVertices; ++v)
        for (int i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], box->mVertices[v][i]);
            hi[i] = std::max(hi[i], box->mVertices[v][i]);
        }
    EXPECT_EQ(lo, aiVector3D(-0.5f, 0, -0.5f));
    EXPECT_EQ(hi, aiVector3D(0.5f, 1.9f, 0.5f));

    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh* mesh = scene->mMeshes[m];
        if (mesh == box) continue;
        result.vertices = mesh->mNumVertices;
        result.faces = mesh->mNumFaces;
        EXPECT_TRUE(mesh->HasNormals());
        EXPECT_TRUE(mesh->HasTangentsAndBitangents());
        EXPECT_TRUE(mesh->HasTextureCoords(0));
        EXPECT_EQ(mesh->mPrimitiveTypes, static_cast<unsigned>(aiPrimitiveType_TRIANGLE));
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) EXPECT_EQ(mesh->mFaces[f].mNumIndices, 3u);

        const aiMaterial* material = scene->mMaterials[mesh->mMaterialIndex];
        aiString texture;
        EXPECT_EQ(material->GetTexture(aiTextureType_DIFFUSE, 0, &texture), AI_SUCCESS);
        EXPECT_STREQ(texture.C_Str(), "biped_diffuse.png");

        std::vector<float> weight_sum(mesh->mNumVertices, 0.0f);
        std::vector<int> influences(mesh->mNumVertices, 0);
        for (unsigned b = 0; b < mesh->mNumBones; ++b) {
            const aiBone* bone = mesh->mBones[b];
            SCOPED_TRACE(bone->mName.C_Str());
            const auto node = nodes.find(bone->mName.C_Str());
            EXPECT_NE(node, nodes.end());
            if (node == nodes.end()) continue;
            // The offset matrix undoes the bone's bind transform.
            const aiMatrix4x4 bind = global_transform(node->second) * bone->mOffsetMatrix;
            EXPECT_TRUE(bind.Equal(aiMatrix4x4(), 1e-5f));
            for (unsigned w = 0; w < bone->mNumWeights; ++w) {
                weight_sum[bone->mWeights[w].mVertexId] += bone->mWeights[w].mWeight;
                ++influences[bone->mWeights[w].mVertexId];
            }
        }
        for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
            EXPECT_NEAR(weight_sum[v], 1.0f, 1e-5) << "vertex " << v;
            EXPECT_GE(influences[v], 1);
            EXPECT_LE(influences[v], 4);
        }
    }
    return result;
}

TEST(SampleMeshes, SkinnedBodiesWithBoundsAndFewerTrianglesInLod1) {
    const MeshCheck lod0 = check_body("biped_body.assbin");
    const MeshCheck lod1 = check_body("biped_body_lod1.assbin");
    EXPECT_GE(lod0.vertices, 200u);
    EXPECT_LE(lod0.vertices, 1000u);
    EXPECT_GT(lod1.vertices, 0u);
    EXPECT_LT(lod1.faces, lod0.faces);
}

// ---- Lua descriptors --------------------------------------------------------------------------

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

TEST(SampleDescriptors, EveryLuaFileRuns) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::data_dir())) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".lua" && ext != ".skel" && ext != ".chanimgpu") continue;
        ++count;
        EXPECT_EQ(run_lua(entry.path().string()), "") << entry.path();
    }
    EXPECT_GE(count, 20);
}

TEST(SampleDescriptors, BlendSpacesReturnTheirTables) {
    const std::map<std::string, std::pair<std::string, int>> expected = {
        {"walk_start", {"animation", 0}}, {"walk", {"1D", 2}},       {"walk_stop", {"animation", 0}},
        {"turn", {"1D", 3}},              {"locomotion", {"2D", 6}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.first);
        std::string type, name;
        int samples = 0;
        const std::string error =
            run_lua(animations_dir() + "/biped/blend_space/" + e.first + ".lua", [&](lua_State* L) {
                ASSERT_TRUE(lua_istable(L, -1));
                type = field_string(L, -1, "type");
                name = field_string(L, -1, "name");
                samples = static_cast<int>(lua_objlen(L, -1));
            });
        EXPECT_EQ(error, "");
        EXPECT_EQ(type, e.second.first);
        EXPECT_EQ(name, e.first);
        EXPECT_EQ(samples, e.second.second);
    }
}

TEST(SampleDescriptors, GraphOverrideAndPlannerDefineTheirGlobals) {
    EXPECT_EQ(run_lua(animations_dir() + "/biped/graph/biped_graph.lua",
                      [](lua_State* L) {
                          lua_getglobal(L, "anim_states");
                          ASSERT_TRUE(lua_istable(L, -1));
                          for (const char* state : {"Idle", "S_MoveStart", "S_Move", "S_MoveStopRU", "S_Turn"}) {
                              lua_getfield(L, -1, state);
                              EXPECT_TRUE(lua_istable(L, -1)) << state;
                              lua_pop(L, 1);
                          }
                          lua_pop(L, 1);
                          lua_getglobal(L, "transitions");
                          EXPECT_EQ(lua_objlen(L, -1), 7u);
                          lua_pop(L, 1);
                          lua_getglobal(L, "default_blendspace");
                          EXPECT_EQ(field_string(L, -1, "name"), "idle");
                      }),
              "");
    EXPECT_EQ(run_lua(animations_dir() + "/biped/override/wave.lua",
                      [](lua_State* L) {
                          EXPECT_EQ(field_string(L, -1, "animation"), "wave");
                          lua_getfield(L, -1, "bones");
                          EXPECT_EQ(lua_objlen(L, -1), 4u);
                      }),
              "");
    EXPECT_EQ(run_lua(animations_dir() + "/biped/route_planner.lua",
                      [](lua_State* L) {
                          lua_getglobal(L, "animations");
                          ASSERT_EQ(lua_objlen(L, -1), 3u);
                          lua_rawgeti(L, -1, 2);
                          EXPECT_EQ(field_string(L, -1, "name"), "walk");
                      }),
              "");
}

TEST(SampleDescriptors, LuaSkeletonMatchesAssimpSkeleton) {
    Scene skeleton(animations_dir() + "/biped.anim");
    ASSERT_TRUE(skeleton);
    const auto nodes = node_map(skeleton.operator->());
    std::map<std::string, aiVector3D> lua_nodes;
    std::function<void(lua_State*)> walk = [&](lua_State* L) {
        lua_pushnil(L);
        while (lua_next(L, -2) != 0) {
            const std::string name = lua_tostring(L, -2);
            lua_getfield(L, -1, "m");
            EXPECT_EQ(lua_objlen(L, -1), 16u) << name;
            aiVector3D t;
            for (int i = 0; i < 3; ++i) {
                lua_rawgeti(L, -1, 13 + i);
                t[i] = static_cast<float>(lua_tonumber(L, -1));
                lua_pop(L, 1);
            }
            lua_pop(L, 1);
            lua_nodes[name] = t;
            lua_getfield(L, -1, "children");
            if (lua_istable(L, -1)) walk(L);
            lua_pop(L, 2);
        }
    };
    EXPECT_EQ(run_lua(animations_dir() + "/biped_lua.skel",
                      [&](lua_State* L) {
                          lua_getglobal(L, "skeleton");
                          ASSERT_TRUE(lua_istable(L, -1));
                          walk(L);
                      }),
              "");
    // Same bones apart from the scene root and the root's name.
    EXPECT_EQ(lua_nodes.size() + 1, nodes.size());
    ASSERT_EQ(lua_nodes.count("biped_lua"), 1u);
    for (const auto& n : lua_nodes) {
        const std::string name = n.first == "biped_lua" ? "biped" : n.first;
        ASSERT_EQ(nodes.count(name), 1u) << name;
        const aiMatrix4x4& m = nodes.at(name)->mTransformation;
        EXPECT_NEAR(n.second.x, m.a4, 1e-5) << name;
        EXPECT_NEAR(n.second.y, m.b4, 1e-5) << name;
        EXPECT_NEAR(n.second.z, m.c4, 1e-5) << name;
    }
}

TEST(SampleDescriptors, LuaClipsMatchBinaryClips) {
    for (const ClipInfo& info : CLIPS) {
        SCOPED_TRACE(info.name);
        Scene scene(animations_dir() + "/biped/" + info.name + ".assbin");
        ASSERT_TRUE(scene);
        const aiAnimation* anim = scene->mAnimations[0];
        const std::string error =
            run_lua(animations_dir() + "/biped_lua/" + info.name + ".lua", [&](lua_State* L) {
                lua_getglobal(L, "orn_character_animation");
                ASSERT_TRUE(lua_istable(L, -1));
                lua_getfield(L, -1, "rate");
                EXPECT_EQ(lua_tointeger(L, -1), 30);
                lua_getfield(L, -2, "duration");
                EXPECT_EQ(lua_tointeger(L, -1), info.duration);
                lua_pop(L, 2);
                lua_getfield(L, -1, "animation");
                ASSERT_TRUE(lua_istable(L, -1));
                unsigned channels = 0;
                lua_pushnil(L);
                while (lua_next(L, -2) != 0) {
                    ++channels;
                    std::string node = lua_tostring(L, -2);
                    if (node == "biped_lua") node = "biped";
                    const aiNodeAnim* ch = find_channel(anim, node);
                    EXPECT_NE(ch, nullptr) << node;
                    EXPECT_EQ(lua_objlen(L, -1), static_cast<size_t>(info.duration + 1)) << node;
                    for (int frame = 1; ch && frame <= info.duration + 1; ++frame) {
                        lua_rawgeti(L, -1, frame);
                        for (const char* list : {"s", "t", "r"}) {
                            lua_getfield(L, -1, list);
                            EXPECT_EQ(lua_objlen(L, -1), std::string(list) == "r" ? 4u : 3u);
                            lua_pop(L, 1);
                        }
                        lua_getfield(L, -1, "t");
                        lua_rawgeti(L, -1, 1);
                        EXPECT_NEAR(lua_tonumber(L, -1), ch->mPositionKeys[frame - 1].mValue.x, 1e-5);
                        lua_pop(L, 2);
                        lua_getfield(L, -1, "r");
                        lua_rawgeti(L, -1, 4);
                        EXPECT_NEAR(lua_tonumber(L, -1), ch->mRotationKeys[frame - 1].mValue.w, 1e-5);
                        lua_rawgeti(L, -2, 2);
                        EXPECT_NEAR(lua_tonumber(L, -1), ch->mRotationKeys[frame - 1].mValue.y, 1e-5);
                        lua_pop(L, 4);
                    }
                    lua_pop(L, 1);
                }
                EXPECT_EQ(channels, anim->mNumChannels);
            });
        EXPECT_EQ(error, "");
    }
}

// ---- generator --------------------------------------------------------------------------------

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
    const auto b = tree_contents(second.path() + "/out");
    EXPECT_GE(a.size(), 30u);
    EXPECT_TRUE(a == b) << "two runs differ";

    // Every generated file is in data/ as generated; a stale copy means the tool was changed
    // without running it.
    size_t total = 0;
    for (const auto& file : a) {
        total += file.second.size();
        EXPECT_TRUE(test::read_text(test::data_dir() + "/" + file.first) == file.second) << file.first << " is stale";
    }
    EXPECT_LT(total, 2u * 1024 * 1024);
}

}  // namespace
