// Writes the project's sample character: a humanoid skeleton type "biped" (assimp binary skeleton,
// clips and skinned meshes with their Lua descriptors and model configuration) and the same skeleton
// and clips once more in the Lua formats as the type "biped_lua". The output is deterministic: the
// same program writes the same bytes on every run.
//
// Usage: make_sample_data [output directory]   (default: the repository's data/ directory)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <assimp/Exporter.hpp>
#include <assimp/cimport.h>
#include <assimp/material.h>
#include <assimp/scene.h>
#include <assimp/types.h>
#include <stb/stb_image_write.h>

#include "animator/util/MathUtils.h"

#ifndef ANIMATOR_DATA_DIR
#define ANIMATOR_DATA_DIR "data"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int TICKS_PER_SECOND = 30;
constexpr float PELVIS_HEIGHT = 0.98f;
const char* const SCENE_ROOT_NAME = "scene_root";

// ---- skeleton ---------------------------------------------------------------------------------

struct Bone {
    std::string name;
    std::string parent;  // empty for the root bone
    aiVector3D offset;   // local translation; every rest rotation is the identity
};

// The bones in pre-order (a parent before its children, children in list order). The character
// faces +X with Y up, so its left side is -Z and its right side +Z.
std::vector<Bone> skeleton_bones(const std::string& root) {
    std::vector<Bone> bones = {
        {root, "", {0, PELVIS_HEIGHT, 0}},
        {"biped_pelvis", root, {0, 0, 0}},
        {"biped_spine1", "biped_pelvis", {0, 0.10f, 0}},
        {"biped_spine2", "biped_spine1", {0, 0.15f, 0}},
        {"biped_spine3", "biped_spine2", {0, 0.15f, 0}},
        {"biped_neck", "biped_spine3", {0, 0.17f, 0}},
        {"biped_head", "biped_neck", {0, 0.10f, 0}},
        {"biped_head_end", "biped_head", {0, 0.20f, 0}},
        {"biped_jaw", "biped_head", {0.05f, 0.02f, 0}},
        {"biped_eye_L", "biped_head", {0.09f, 0.08f, -0.03f}},
        {"biped_eye_R", "biped_head", {0.09f, 0.08f, 0.03f}},
    };
    for (const char* side : {"L", "R"}) {
        const float z = std::string(side) == "L" ? -1.0f : 1.0f;
        const std::string s = std::string("_") + side;
        const std::string hand = "biped_hand" + s;
        const std::vector<Bone> arm = {
            {"biped_clavicle" + s, "biped_spine3", {0, 0.12f, 0.04f * z}},
            {"biped_upperarm" + s, "biped_clavicle" + s, {0, 0, 0.15f * z}},
            {"biped_forearm" + s, "biped_upperarm" + s, {0, -0.28f, 0}},
            {hand, "biped_forearm" + s, {0, -0.25f, 0}},
            {"biped_thumb1" + s, hand, {0.035f, -0.03f, -0.01f * z}},
            {"biped_thumb2" + s, "biped_thumb1" + s, {0.02f, -0.03f, 0}},
            {"biped_index1" + s, hand, {0.025f, -0.09f, 0}},
            {"biped_index2" + s, "biped_index1" + s, {0, -0.035f, 0}},
            {"biped_middle1" + s, hand, {0, -0.095f, 0}},
            {"biped_middle2" + s, "biped_middle1" + s, {0, -0.04f, 0}},
            {"biped_pinky1" + s, hand, {-0.025f, -0.085f, 0}},
            {"biped_pinky2" + s, "biped_pinky1" + s, {0, -0.03f, 0}},
        };
        bones.insert(bones.end(), arm.begin(), arm.end());
        if (z > 0) bones.push_back({"biped_hand_R__conn_weapon", hand, {0.02f, -0.08f, 0}});
    }
    for (const char* side : {"L", "R"}) {
        const float z = std::string(side) == "L" ? -1.0f : 1.0f;
        const std::string s = std::string("_") + side;
        const std::vector<Bone> leg = {
            {"biped_thigh" + s, "biped_pelvis", {0, -0.05f, 0.10f * z}},
            {"biped_calf" + s, "biped_thigh" + s, {0, -0.43f, 0}},
            {"biped_foot" + s, "biped_calf" + s, {0, -0.42f, 0}},
            {"biped_toe" + s, "biped_foot" + s, {0.13f, -0.07f, 0}},
            {"biped_toe_end" + s, "biped_toe" + s, {0.05f, 0, 0}},
        };
        bones.insert(bones.end(), leg.begin(), leg.end());
    }
    return bones;
}

const Bone* find_bone(const std::vector<Bone>& bones, const std::string& name) {
    for (const Bone& b : bones)
        if (b.name == name) return &b;
    return nullptr;
}

// Rest position of a bone's joint in model space (rest rotations are all the identity).
aiVector3D joint_position(const std::vector<Bone>& bones, const std::string& name) {
    aiVector3D p(0, 0, 0);
    for (const Bone* b = find_bone(bones, name); b; b = b->parent.empty() ? nullptr : find_bone(bones, b->parent))
        p += b->offset;
    return p;
}

aiMatrix4x4 translation_matrix(const aiVector3D& t) {
    aiMatrix4x4 m;
    aiMatrix4x4::Translation(t, m);
    return m;
}

aiString ai_string(const std::string& s) { return aiString(s.c_str()); }

template <class T>
T* copy_array(const std::vector<T>& v) {
    T* out = new T[v.size()];
    std::copy(v.begin(), v.end(), out);
    return out;
}

void set_children(aiNode* node, const std::vector<aiNode*>& children) {
    if (children.empty()) return;
    node->mNumChildren = static_cast<unsigned>(children.size());
    node->mChildren = copy_array(children);
    for (aiNode* c : children) c->mParent = node;
}

// The scene root with the skeleton below it, plus any extra top-level nodes.
aiNode* build_node_tree(const std::vector<Bone>& bones, const std::vector<aiNode*>& extra_top_level) {
    std::map<std::string, aiNode*> nodes;
    std::map<std::string, std::vector<aiNode*>> children;
    for (const Bone& b : bones) {
        aiNode* n = new aiNode(b.name);
        n->mTransformation = translation_matrix(b.offset);
        nodes[b.name] = n;
        if (!b.parent.empty()) children[b.parent].push_back(n);
    }
    for (auto& entry : children) set_children(nodes[entry.first], entry.second);
    aiNode* root = new aiNode(SCENE_ROOT_NAME);
    std::vector<aiNode*> top = {nodes[bones.front().name]};
    top.insert(top.end(), extra_top_level.begin(), extra_top_level.end());
    set_children(root, top);
    return root;
}

// ---- clips ------------------------------------------------------------------------------------

// Rotation of a bone as angles about its local axes: yaw about Y, roll about Z, pitch about X.
struct Euler {
    double yaw = 0, roll = 0, pitch = 0;
};

struct Pose {
    aiVector3D root_position{0, PELVIS_HEIGHT, 0};
    double heading = 0;  // about Y, radians, positive towards -Z
    std::map<std::string, Euler> bones;
};

struct ClipDesc {
    std::string name;
    int duration;  // ticks
    bool loops;    // the last key repeats the first key's rotations
    std::function<void(double seconds, Pose&)> pose;
};

struct Key {
    aiVector3D position;
    aiQuaternion rotation;
};

struct Channel {
    std::string node;
    std::vector<Key> keys;  // duration + 1, key k at tick k
};

struct Clip {
    std::string name;
    int duration;
    std::vector<Channel> channels;
};

double smoothstep(double u) {
    u = std::min(1.0, std::max(0.0, u));
    return u * u * (3 - 2 * u);
}

aiQuaternion to_rotation(const Euler& e) { return Animator::toQuaternion<aiQuaternion>(e.yaw, e.roll, e.pitch); }

void breathe(Pose& p, double phase, double amount) {
    p.bones["biped_spine2"].roll += 0.015 * amount * std::sin(phase);
    p.bones["biped_spine3"].roll += 0.010 * amount * std::sin(phase);
    p.bones["biped_head"].roll -= 0.012 * amount * std::sin(phase);
    p.bones["biped_upperarm_L"].pitch += 0.06 + 0.015 * amount * std::sin(phase);
    p.bones["biped_upperarm_R"].pitch -= 0.06 + 0.015 * amount * std::sin(phase);
    p.bones["biped_forearm_L"].roll += 0.08;
    p.bones["biped_forearm_R"].roll += 0.08;
    p.root_position.y += static_cast<float>(0.004 * amount * std::sin(phase));
}

// Walking legs and arms at stride phase `phase` (one stride cycle = 2 pi), scaled by `weight`;
// `stride` > 1 makes the motion of the fast walk larger.
void walk_pose(Pose& p, double phase, double weight, double stride) {
    const double w = weight;
    const double s = std::sin(phase);
    for (int side = 0; side < 2; ++side) {
        const std::string suffix = side == 0 ? "_L" : "_R";
        const double ph = phase + side * PI;
        const double leg = std::sin(ph);
        p.bones["biped_thigh" + suffix].roll += w * 0.42 * stride * leg;
        p.bones["biped_calf" + suffix].roll -= w * 0.55 * stride * (0.5 - 0.5 * std::cos(ph + 0.6));
        p.bones["biped_foot" + suffix].roll += w * 0.20 * std::sin(ph - 0.5);
        p.bones["biped_toe" + suffix].roll -= w * 0.15 * (0.5 + 0.5 * std::sin(ph + PI / 2));
        // Arms swing against the leg of their side.
        p.bones["biped_upperarm" + suffix].roll -= w * 0.30 * stride * leg;
        p.bones["biped_forearm" + suffix].roll += w * (0.25 + 0.10 * stride * (0.5 - 0.5 * leg));
    }
    p.bones["biped_pelvis"].yaw -= w * 0.10 * s;
    p.bones["biped_spine1"].yaw += w * 0.06 * s;
    p.bones["biped_spine2"].roll -= w * 0.04 * stride;  // lean forward
    p.bones["biped_head"].yaw -= w * 0.03 * s;
    p.root_position.y -= static_cast<float>(w * 0.02 * stride * (0.5 - 0.5 * std::cos(2 * phase)));
}

std::vector<ClipDesc> clip_descriptions() {
    std::vector<ClipDesc> clips;
    clips.push_back({"idle", 60, true, [](double t, Pose& p) { breathe(p, 2 * PI * t / 2.0, 1.0); }});
    clips.push_back({"idle_look", 90, true, [](double t, Pose& p) {
                         breathe(p, 2 * PI * t / 1.5, 1.0);
                         const double look = std::sin(2 * PI * t / 3.0);
                         p.bones["biped_head"].yaw += 0.65 * look;
                         p.bones["biped_neck"].yaw += 0.30 * look;
                         p.bones["biped_spine3"].yaw += 0.08 * look;
                     }});
    // Starts from rest and accelerates evenly to 1 m/s in 0.8 s (0.4 m); the legs make one stride
    // cycle of growing size and end in the first pose of the slow walk loop.
    clips.push_back({"walk_start", 24, false, [](double t, Pose& p) {
                         const double a = 1.0 / 0.8;
                         const double x = 0.5 * a * t * t;
                         breathe(p, 0.0, 0.0);
                         walk_pose(p, 2 * PI * x / 0.4, t / 0.8, 1.0);
                         p.root_position.x = static_cast<float>(x);
                     }});
    for (int fast = 0; fast < 2; ++fast) {
        const double speed = fast ? 2.0 : 1.0;
        clips.push_back({fast ? "walk_loop_fast" : "walk_loop_slow", 30, true, [speed](double t, Pose& p) {
                             breathe(p, 0.0, 0.0);
                             walk_pose(p, 2 * PI * t, 1.0, speed > 1.5 ? 1.5 : 1.0);
                             p.root_position.x = static_cast<float>(speed * t);
                         }});
    }
    // Decelerates evenly from 1 m/s to rest in 0.8 s (0.4 m), from the first pose of the slow loop.
    clips.push_back({"walk_stop", 24, false, [](double t, Pose& p) {
                         const double a = 1.0 / 0.8;
                         const double x = t - 0.5 * a * t * t;
                         breathe(p, 0.0, 0.0);
                         walk_pose(p, 2 * PI * x / 0.4, 1.0 - t / 0.8, 1.0);
                         p.root_position.x = static_cast<float>(x);
                     }});
    for (int right = 0; right < 2; ++right) {
        const double sign = right ? -1.0 : 1.0;
        clips.push_back({right ? "turn_right" : "turn_left", 30, false, [sign](double t, Pose& p) {
                             breathe(p, 0.0, 0.0);
                             p.heading = sign * PI / 2 * smoothstep(t);
                             const double envelope = std::sin(PI * t);
                             for (int side = 0; side < 2; ++side) {
                                 const std::string suffix = side == 0 ? "_L" : "_R";
                                 const double step = std::sin(2 * PI * 2 * t + side * PI);
                                 const double lift = std::max(0.0, step) * envelope;
                                 p.bones["biped_thigh" + suffix].roll += 0.35 * lift;
                                 p.bones["biped_calf" + suffix].roll -= 0.60 * lift;
                                 p.bones["biped_foot" + suffix].roll += 0.20 * lift;
                             }
                             p.bones["biped_spine2"].yaw += sign * 0.10 * envelope;
                             p.bones["biped_head"].yaw += sign * 0.15 * envelope;
                         }});
    }
    // The right arm rises to the side, the forearm waves three times, the arm comes down again.
    clips.push_back({"wave", 45, false, [](double t, Pose& p) {
                         breathe(p, 0.0, 0.0);
                         const double e = smoothstep(t / 0.3) * smoothstep((1.5 - t) / 0.3);
                         const double w = std::sin(2 * PI * 2 * t);
                         p.bones["biped_clavicle_R"].pitch -= 0.15 * e;
                         p.bones["biped_upperarm_R"].pitch -= 2.3 * e;
                         p.bones["biped_forearm_R"].pitch += e * 0.45 * w;
                         p.bones["biped_forearm_R"].roll += 0.35 * e;
                         p.bones["biped_hand_R"].pitch += e * 0.20 * std::sin(2 * PI * 2 * t - 0.5);
                     }});
    return clips;
}

Clip sample_clip(const ClipDesc& desc, const std::vector<Bone>& bones) {
    std::vector<Pose> poses;
    std::set<std::string> moving;
    for (int k = 0; k <= desc.duration; ++k) {
        Pose p;
        desc.pose(static_cast<double>(k) / TICKS_PER_SECOND, p);
        for (const auto& entry : p.bones) moving.insert(entry.first);
        poses.push_back(p);
    }
    Clip clip{desc.name, desc.duration, {}};
    for (size_t b = 0; b < bones.size(); ++b) {
        const Bone& bone = bones[b];
        const bool is_root = b == 0;
        if (!is_root && !moving.count(bone.name)) continue;
        Channel channel{bone.name, {}};
        for (const Pose& p : poses) {
            Key key;
            if (is_root) {
                key.position = p.root_position;
                key.rotation = Animator::toQuaternion<aiQuaternion>(p.heading, 0, 0);
            } else {
                key.position = bone.offset;
                auto it = p.bones.find(bone.name);
                key.rotation = it == p.bones.end() ? aiQuaternion() : to_rotation(it->second);
            }
            channel.keys.push_back(key);
        }
        if (desc.loops) channel.keys.back().rotation = channel.keys.front().rotation;
        clip.channels.push_back(channel);
    }
    return clip;
}

// ---- meshes -----------------------------------------------------------------------------------

struct BodyPart {
    std::string bone;  // the bone the box follows; the end towards its parent blends with the parent
    aiVector3D from, to;
    float half_width;
};

struct MeshBuilder {
    std::vector<aiVector3D> positions, normals, tangents, bitangents, uvs;
    std::vector<unsigned> indices;
    std::map<std::string, std::vector<aiVertexWeight>> weights;

    // An axis-aligned box spanning from..to widened by half_width; 4 vertices per face.
    void add_box(const BodyPart& part, const std::string& parent_bone) {
        aiVector3D lo(std::min(part.from.x, part.to.x), std::min(part.from.y, part.to.y),
                      std::min(part.from.z, part.to.z));
        aiVector3D hi(std::max(part.from.x, part.to.x), std::max(part.from.y, part.to.y),
                      std::max(part.from.z, part.to.z));
        const aiVector3D pad(part.half_width, part.half_width, part.half_width);
        lo -= pad;
        hi += pad;
        const aiVector3D axis = part.to - part.from;
        const float length2 = axis.SquareLength();
        for (int face = 0; face < 6; ++face) {
            const int a = face / 2;           // axis of the normal
            const float sign = face % 2 ? 1.0f : -1.0f;
            aiVector3D n(0, 0, 0), u(0, 0, 0), v(0, 0, 0);
            n[a] = sign;
            u[(a + 1) % 3] = 1;
            v = n ^ u;  // u, v, n right-handed
            const aiVector3D centre = (lo + hi) * 0.5f;
            const aiVector3D half = (hi - lo) * 0.5f;
            const unsigned base = static_cast<unsigned>(positions.size());
            const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
            for (const auto& c : corners) {
                aiVector3D p = centre;
                for (int i = 0; i < 3; ++i) p[i] += (n[i] + u[i] * c[0] + v[i] * c[1]) * half[i];
                positions.push_back(p);
                normals.push_back(n);
                tangents.push_back(u);
                bitangents.push_back(v);
                uvs.push_back(aiVector3D(0.5f + 0.5f * c[0], 0.5f + 0.5f * c[1], 0));
                const unsigned index = static_cast<unsigned>(positions.size() - 1);
                const float along = length2 > 0 ? ((p - part.from) * axis) / length2 : 1.0f;
                if (!parent_bone.empty() && along < 0.5f) {
                    weights[part.bone].push_back(aiVertexWeight(index, 0.5f));
                    weights[parent_bone].push_back(aiVertexWeight(index, 0.5f));
                } else {
                    weights[part.bone].push_back(aiVertexWeight(index, 1.0f));
                }
            }
            for (unsigned i : {0u, 1u, 2u, 0u, 2u, 3u}) indices.push_back(base + i);
        }
    }
};

std::vector<BodyPart> body_parts(const std::vector<Bone>& bones, bool detailed) {
    auto j = [&](const std::string& name) { return joint_position(bones, name); };
    std::vector<BodyPart> parts = {
        {"biped_pelvis", j("biped_thigh_L") + aiVector3D(0, -0.02f, 0), j("biped_thigh_R") + aiVector3D(0, 0.08f, 0),
         0.08f},
        {"biped_head", j("biped_head"), j("biped_head_end") - aiVector3D(0, 0.02f, 0), 0.09f},
    };
    if (detailed) {
        parts.push_back({"biped_spine1", j("biped_spine1"), j("biped_spine2"), 0.12f});
        parts.push_back({"biped_spine2", j("biped_spine2"), j("biped_spine3"), 0.13f});
        parts.push_back({"biped_spine3", j("biped_spine3"), j("biped_neck"), 0.14f});
        parts.push_back({"biped_neck", j("biped_neck"), j("biped_head"), 0.05f});
    } else {
        parts.push_back({"biped_spine2", j("biped_spine1"), j("biped_neck"), 0.13f});
    }
    for (const std::string s : {"_L", "_R"}) {
        if (detailed) parts.push_back({"biped_clavicle" + s, j("biped_clavicle" + s), j("biped_upperarm" + s), 0.05f});
        parts.push_back({"biped_upperarm" + s, j("biped_upperarm" + s), j("biped_forearm" + s), 0.05f});
        if (detailed) {
            parts.push_back({"biped_forearm" + s, j("biped_forearm" + s), j("biped_hand" + s), 0.04f});
            parts.push_back({"biped_hand" + s, j("biped_hand" + s), j("biped_middle2" + s), 0.03f});
        } else {
            parts.push_back({"biped_forearm" + s, j("biped_forearm" + s), j("biped_middle2" + s), 0.04f});
        }
        parts.push_back({"biped_thigh" + s, j("biped_thigh" + s), j("biped_calf" + s), 0.075f});
        parts.push_back({"biped_calf" + s, j("biped_calf" + s), j("biped_foot" + s), 0.06f});
        parts.push_back({"biped_foot" + s, j("biped_foot" + s), j("biped_toe" + s) + aiVector3D(0, 0.02f, 0), 0.05f});
        if (detailed) parts.push_back({"biped_toe" + s, j("biped_toe" + s), j("biped_toe_end" + s), 0.035f});
    }
    return parts;
}

aiMesh* build_body_mesh(const std::vector<Bone>& bones, bool detailed) {
    MeshBuilder builder;
    for (const BodyPart& part : body_parts(bones, detailed)) {
        const Bone* bone = find_bone(bones, part.bone);
        // The pelvis and the boxes of the spine's lowest box do not blend with the root bone.
        const bool blend = bone && bone->parent != bones.front().name && part.bone != "biped_pelvis";
        builder.add_box(part, blend ? bone->parent : std::string());
    }
    aiMesh* mesh = new aiMesh;
    mesh->mName = ai_string(detailed ? "biped_body" : "biped_body_lod1");
    mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
    mesh->mNumVertices = static_cast<unsigned>(builder.positions.size());
    mesh->mVertices = copy_array(builder.positions);
    mesh->mNormals = copy_array(builder.normals);
    mesh->mTangents = copy_array(builder.tangents);
    mesh->mBitangents = copy_array(builder.bitangents);
    mesh->mTextureCoords[0] = copy_array(builder.uvs);
    mesh->mNumUVComponents[0] = 2;
    mesh->mNumFaces = static_cast<unsigned>(builder.indices.size() / 3);
    mesh->mFaces = new aiFace[mesh->mNumFaces];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        mesh->mFaces[f].mNumIndices = 3;
        mesh->mFaces[f].mIndices = new unsigned[3]{builder.indices[3 * f], builder.indices[3 * f + 1],
                                                   builder.indices[3 * f + 2]};
    }
    // Bones in skeleton order, so that the file does not depend on map ordering.
    std::vector<aiBone*> ai_bones;
    for (const Bone& b : bones) {
        auto it = builder.weights.find(b.name);
        if (it == builder.weights.end()) continue;
        aiBone* bone = new aiBone;
        bone->mName = ai_string(b.name);
        bone->mNumWeights = static_cast<unsigned>(it->second.size());
        bone->mWeights = copy_array(it->second);
        bone->mOffsetMatrix = translation_matrix(-joint_position(bones, b.name));
        ai_bones.push_back(bone);
    }
    mesh->mNumBones = static_cast<unsigned>(ai_bones.size());
    mesh->mBones = copy_array(ai_bones);
    mesh->mMaterialIndex = 0;
    return mesh;
}

aiMesh* build_bounds_mesh(const aiVector3D& lo, const aiVector3D& hi) {
    aiMesh* mesh = new aiMesh;
    mesh->mName = ai_string("bounding_box");
    mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
    mesh->mNumVertices = 8;
    mesh->mVertices = new aiVector3D[8];
    mesh->mNormals = new aiVector3D[8];
    const aiVector3D centre = (lo + hi) * 0.5f;
    for (unsigned i = 0; i < 8; ++i) {
        const aiVector3D p(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z);
        mesh->mVertices[i] = p;
        mesh->mNormals[i] = (p - centre).Normalize();
    }
    // Two triangles per side, wound outwards.
    const unsigned faces[12][3] = {{0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}, {0, 1, 5}, {0, 5, 4},
                                   {2, 6, 7}, {2, 7, 3}, {0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}};
    mesh->mNumFaces = 12;
    mesh->mFaces = new aiFace[12];
    for (unsigned f = 0; f < 12; ++f) {
        mesh->mFaces[f].mNumIndices = 3;
        mesh->mFaces[f].mIndices = new unsigned[3]{faces[f][0], faces[f][1], faces[f][2]};
    }
    mesh->mMaterialIndex = 0;
    return mesh;
}

// ---- scenes -----------------------------------------------------------------------------------

std::unique_ptr<aiScene> skeleton_scene(const std::vector<Bone>& bones) {
    auto scene = std::make_unique<aiScene>();
    scene->mRootNode = build_node_tree(bones, {});
    return scene;
}

std::unique_ptr<aiScene> clip_scene(const std::vector<Bone>& bones, const Clip& clip) {
    auto scene = skeleton_scene(bones);
    aiAnimation* anim = new aiAnimation;
    anim->mName = ai_string(clip.name);
    anim->mDuration = clip.duration;
    anim->mTicksPerSecond = TICKS_PER_SECOND;
    anim->mNumChannels = static_cast<unsigned>(clip.channels.size());
    anim->mChannels = new aiNodeAnim*[anim->mNumChannels];
    for (unsigned c = 0; c < anim->mNumChannels; ++c) {
        const Channel& channel = clip.channels[c];
        aiNodeAnim* node = new aiNodeAnim;
        node->mNodeName = ai_string(channel.node);
        const unsigned n = static_cast<unsigned>(channel.keys.size());
        node->mNumPositionKeys = node->mNumRotationKeys = node->mNumScalingKeys = n;
        node->mPositionKeys = new aiVectorKey[n];
        node->mRotationKeys = new aiQuatKey[n];
        node->mScalingKeys = new aiVectorKey[n];
        for (unsigned k = 0; k < n; ++k) {
            node->mPositionKeys[k] = aiVectorKey(k, channel.keys[k].position);
            node->mRotationKeys[k] = aiQuatKey(k, channel.keys[k].rotation);
            node->mScalingKeys[k] = aiVectorKey(k, aiVector3D(1, 1, 1));
        }
        anim->mChannels[c] = node;
    }
    scene->mNumAnimations = 1;
    scene->mAnimations = new aiAnimation*[1]{anim};
    return scene;
}

std::unique_ptr<aiScene> body_scene(const std::vector<Bone>& bones, bool detailed) {
    auto scene = std::make_unique<aiScene>();
    aiNode* body = new aiNode(detailed ? "biped_body" : "biped_body_lod1");
    body->mNumMeshes = 1;
    body->mMeshes = new unsigned[1]{0};
    aiNode* bounds = new aiNode("bounding_box");
    bounds->mNumMeshes = 1;
    bounds->mMeshes = new unsigned[1]{1};
    scene->mRootNode = build_node_tree(bones, {body, bounds});
    scene->mNumMeshes = 2;
    scene->mMeshes = new aiMesh*[2]{build_body_mesh(bones, detailed),
                                     build_bounds_mesh(aiVector3D(-0.5f, 0, -0.5f), aiVector3D(0.5f, 1.9f, 0.5f))};
    aiMaterial* material = new aiMaterial;
    const aiString name = ai_string("biped_material");
    material->AddProperty(&name, AI_MATKEY_NAME);
    const aiString diffuse = ai_string("biped_diffuse.png");
    material->AddProperty(&diffuse, AI_MATKEY_TEXTURE_DIFFUSE(0));
    const aiString normals = ai_string("biped_normal.png");
    material->AddProperty(&normals, AI_MATKEY_TEXTURE_NORMALS(0));
    const aiString rm = ai_string("biped_rm.png");
    material->AddProperty(&rm, AI_MATKEY_TEXTURE_SPECULAR(0));
    const aiColor3D colour(0.8f, 0.8f, 0.8f);
    material->AddProperty(&colour, 1, AI_MATKEY_COLOR_DIFFUSE);
    scene->mNumMaterials = 1;
    scene->mMaterials = new aiMaterial*[1]{material};
    return scene;
}

// ---- output -----------------------------------------------------------------------------------

bool g_failed = false;

void fail(const std::string& what) {
    std::fprintf(stderr, "make_sample_data: %s\n", what.c_str());
    g_failed = true;
}

void write_text(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) fail("can not write " + path.string());
}

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The assimp binary writer stamps the export time into its header and copies the output path after
// it; both are replaced by fixed text so that repeated runs give identical files. The reader skips
// these fields.
constexpr size_t ASSBIN_HEADER_SIZE = 44;
constexpr size_t ASSBIN_VERSION_FIELDS = 4 * 4 + 2 * 2;
constexpr size_t ASSBIN_FILE_NAME_SIZE = 256;

void normalise_assbin_header(std::string& bytes, const std::string& file_name) {
    const std::string magic = "ASSIMP.binary-dump.";
    if (bytes.size() < ASSBIN_HEADER_SIZE + ASSBIN_VERSION_FIELDS + ASSBIN_FILE_NAME_SIZE ||
        bytes.compare(0, magic.size(), magic) != 0) {
        fail("unexpected assbin header in " + file_name);
        return;
    }
    std::fill(bytes.begin() + magic.size(), bytes.begin() + ASSBIN_HEADER_SIZE, '\0');
    const size_t name_at = ASSBIN_HEADER_SIZE + ASSBIN_VERSION_FIELDS;
    std::fill(bytes.begin() + name_at, bytes.begin() + name_at + ASSBIN_FILE_NAME_SIZE, '\0');
    std::copy_n(file_name.begin(), std::min(file_name.size(), ASSBIN_FILE_NAME_SIZE - 1), bytes.begin() + name_at);
}

void write_scene(const aiScene& scene, const fs::path& path) {
    fs::create_directories(path.parent_path());
    Assimp::Exporter exporter;
    if (exporter.Export(&scene, "assbin", path.string()) != AI_SUCCESS) {
        fail("export of " + path.string() + " failed: " + exporter.GetErrorString());
        return;
    }
    std::string bytes = read_bytes(path);
    normalise_assbin_header(bytes, path.filename().string());
    write_text(path, bytes);
    // The plug-in reads clips with no format hint; make sure assimp recognises the file that way.
    const aiScene* back = aiImportFileFromMemory(bytes.data(), static_cast<unsigned>(bytes.size()), 0, "");
    if (!back || !back->mRootNode)
        fail("assimp can not read back " + path.string() + ": " + aiGetErrorString());
    if (back) aiReleaseImport(back);
}

std::string number(double v) {
    if (std::fabs(v) < 5e-7) v = 0;  // no "-0" and no rounding noise
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", v);
    return buffer;
}

std::string numbers(std::initializer_list<double> values) {
    std::string s;
    for (double v : values) s += (s.empty() ? "" : ",") + number(v);
    return s;
}

void write_lua_node(std::ostringstream& out, const std::vector<Bone>& bones, const Bone& bone, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    const aiVector3D& t = bone.offset;
    // Row-vector (osg) order: the translation is numbers 13, 14 and 15.
    out << indent << "[\"" << bone.name << "\"] = {\n"
        << indent << "  m = {" << numbers({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, t.x, t.y, t.z, 1}) << "},\n";
    std::vector<const Bone*> children;
    for (const Bone& b : bones)
        if (b.parent == bone.name) children.push_back(&b);
    if (!children.empty()) {
        out << indent << "  children = {\n";
        for (const Bone* c : children) write_lua_node(out, bones, *c, depth + 2);
        out << indent << "  },\n";
    }
    out << indent << "},\n";
}

std::string lua_skeleton(const std::vector<Bone>& bones) {
    std::ostringstream out;
    out << "-- Skeleton of the sample character: bone name = { m = local transform (row-vector order), "
           "children = { ... } }.\n";
    out << "skeleton = {\n";
    write_lua_node(out, bones, bones.front(), 1);
    out << "}\n";
    return out.str();
}

// Frame i of a node (counting from 1) is the clip's key i - 1.
std::string lua_clip(const Clip& clip) {
    std::ostringstream out;
    out << "-- Sample clip \"" << clip.name << "\": " << clip.duration + 1 << " frames at 30 per second.\n";
    out << "orn_character_animation = {\n  rate = " << TICKS_PER_SECOND << ",\n  duration = " << clip.duration
        << ",\n  animation = {\n";
    for (const Channel& channel : clip.channels) {
        out << "    [\"" << channel.node << "\"] = {\n";
        for (const Key& key : channel.keys) {
            const aiVector3D& p = key.position;
            const aiQuaternion& q = key.rotation;
            out << "      {s={1,1,1},t={" << numbers({p.x, p.y, p.z}) << "},r={" << numbers({q.x, q.y, q.z, q.w})
                << "}},\n";
        }
        out << "    },\n";
    }
    out << "  },\n}\n";
    return out.str();
}

const char* const WALK_BLEND_SPACE =
    "return {\n"
    "  type = \"1D\",\n"
    "  name = \"walk\",\n"
    "  loop = true,\n"
    "  x_axis = { name = \"speed\" },\n"
    "  { x = 1, animation = \"walk_loop_slow\" },\n"
    "  { x = 2, animation = \"walk_loop_fast\" },\n"
    "}\n";

const char* const TURN_SAMPLES =
    "  { x = -1.5707964, animation = \"turn_right\" },\n"
    "  { x = 0, animation = \"idle\" },\n"
    "  { x = 1.5707964, animation = \"turn_left\" },\n";

std::string turn_blend_space() {
    return std::string("return {\n  type = \"1D\",\n  name = \"turn\",\n  x_axis = { name = \"turn_angle\" },\n") +
           TURN_SAMPLES + "}\n";
}

std::string override_descriptor() {
    return "return {\n"
           "  animation = \"wave\",\n"
           "  bones = { \"biped_clavicle_R\", \"biped_upperarm_R\", \"biped_forearm_R\", \"biped_hand_R\" },\n"
           "}\n";
}

std::string graph_descriptor() {
    std::string s =
        "-- States and transitions of the sample character.\n"
        "default_blendspace = { name = \"idle\", loop = true }\n"
        "\n"
        "anim_states = {\n"
        "  Idle = { type = \"animation\", name = \"idle\", loop = true },\n"
        "  S_MoveStart = { type = \"animation\", name = \"walk_start\" },\n"
        "  S_Move = {\n"
        "    type = \"1D\", name = \"walk\", loop = true, x_axis = { name = \"speed\" },\n"
        "    { x = 1, animation = \"walk_loop_slow\" },\n"
        "    { x = 2, animation = \"walk_loop_fast\" },\n"
        "  },\n"
        "  S_MoveStopRU = { type = \"animation\", name = \"walk_stop\" },\n"
        "  S_Turn = {\n"
        "    type = \"1D\", name = \"turn\", x_axis = { name = \"turn_angle\" },\n";
    std::istringstream samples(TURN_SAMPLES);
    for (std::string line; std::getline(samples, line);) s += "  " + line + "\n";
    s += "  },\n"
         "}\n"
         "\n"
         "transitions = {\n"
         "  { source = \"Idle\", target = \"S_MoveStart\",\n"
         "    params = { transition_duration = 0.2, next_animation_mode = \"immediate\" } },\n"
         "  { source = \"S_MoveStart\", target = \"S_Move\",\n"
         "    params = { transition_duration = 0.1, loop = true, next_animation_mode = \"sequental\" } },\n"
         "  { source = \"S_Move\", target = \"S_MoveStopRU\",\n"
         "    params = { transition_duration = 0.2, next_animation_mode = \"sequental\" } },\n"
         "  { source = \"S_MoveStopRU\", target = \"Idle\",\n"
         "    params = { transition_duration = 0.25, loop = true, next_animation_mode = \"sequental\" } },\n"
         "  { source = \"Idle\", target = \"S_Turn\",\n"
         "    params = { transition_duration = 0.2, next_animation_mode = \"immediate\" } },\n"
         "  { source = \"S_Turn\", target = \"Idle\",\n"
         "    params = { transition_duration = 0.25, loop = true, next_animation_mode = \"sequental\" } },\n"
         "  { source = \"S_Move\", target = \"Idle\",\n"
         "    params = { transition_duration = 0.3, loop = true, next_animation_mode = \"blend\" } },\n"
         "}\n";
    return s;
}

std::string route_planner_descriptor() {
    return "-- Start, loop and stop phases of a planned walk.\n"
           "params = { 0.0, 1.0 }\n"
           "animations = {\n"
           "  { name = \"walk_start\", type = \"animation\", values = { \"input0\", \"input1\" } },\n"
           "  { name = \"walk\", type = \"1D\", values = { \"input0\", \"input1\" } },\n"
           "  { name = \"walk_stop\", type = \"animation\", values = { \"input0\", \"input1\" } },\n"
           "}\n";
}

std::string locomotion_blend_space() {
    return "return {\n"
           "  type = \"2D\",\n"
           "  name = \"locomotion\",\n"
           "  loop = true,\n"
           "  x_axis = { name = \"speed\" },\n"
           "  y_axis = { name = \"turn_angle\" },\n"
           "  { x = 0, y = -1.5707964, animation = \"turn_right\" },\n"
           "  { x = 0, y = 0, animation = \"idle\" },\n"
           "  { x = 0, y = 1.5707964, animation = \"turn_left\" },\n"
           "  { x = 1, y = -1.5707964, animation = \"walk_loop_slow\" },\n"
           "  { x = 1, y = 0, animation = \"walk_loop_slow\" },\n"
           "  { x = 1, y = 1.5707964, animation = \"walk_loop_slow\" },\n"
           "}\n";
}

std::string model_configuration() {
    return "-- The sample character model.\n"
           "model = \"biped/biped_body.assbin\"\n"
           "model_path = \"/models/biped/\"\n"
           "skeleton = \"biped\"\n"
           "default_animation = \"idle\"\n"
           "correct_root = true\n"
           "lods = {\n"
           "  { \"biped/biped_body.assbin\", 25 },\n"
           "  { \"biped/biped_body_lod1.assbin\", 80 },\n"
           "}\n"
           "substitute_meshes = {}\n"
           "bounding_box = { { -0.5, 0, -0.5 }, { 0.5, 1.9, 0.5 } }\n"
           "use_idle_timeline = true\n"
           "idle_timeline = {\n"
           "  count = 6,\n"
           "  probabilities = { { \"idle\", 0.5 }, { \"idle_look\", 0.5 } },\n"
           "}\n"
           "animations = {\n"
           "  idle = { name = \"idle\", loop = true },\n"
           "  walk = { name = \"walk_loop_slow\", loop = true },\n"
           "}\n"
           "transitions = { walk = 0.25, stop = 0.3 }\n";
}

// ---- textures -----------------------------------------------------------------------------------
// Every face of a body box maps the whole texture, so a texture is a pattern of one box face: cloth
// with a darker hem for the diffuse channel, a bevelled edge for the normal map, roughness and metal
// for the third channel.

constexpr int TEXTURE_SIZE = 64;

void write_png(const fs::path& path, const std::vector<uint8_t>& rgba) {
    std::string bytes;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
        },
        &bytes, TEXTURE_SIZE, TEXTURE_SIZE, 4, rgba.data(), TEXTURE_SIZE * 4);
    if (bytes.empty()) fail("can not encode " + path.string());
    write_text(path, bytes);
}

// Distance of a texel from the nearest edge of the face, 0 at the edge and 1 in the middle.
double edge_distance(int x, int y) {
    const double u = (x + 0.5) / TEXTURE_SIZE, v = (y + 0.5) / TEXTURE_SIZE;
    return 2.0 * std::min(std::min(u, 1.0 - u), std::min(v, 1.0 - v));
}

std::vector<uint8_t> cloth_texture(const aiColor3D& base, const aiColor3D& hem) {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < TEXTURE_SIZE; ++y)
        for (int x = 0; x < TEXTURE_SIZE; ++x) {
            const bool is_hem = edge_distance(x, y) < 0.18;
            const double weave = ((x / 2 + y / 2) % 2) ? 1.0 : 0.9;
            const aiColor3D c = is_hem ? hem : base;
            for (double channel : {c.r * weave, c.g * weave, c.b * weave})
                rgba.push_back(static_cast<uint8_t>(std::lround(std::min(1.0, channel) * 255.0)));
            rgba.push_back(255);
        }
    return rgba;
}

std::vector<uint8_t> bevel_normal_texture() {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < TEXTURE_SIZE; ++y)
        for (int x = 0; x < TEXTURE_SIZE; ++x) {
            const double u = (x + 0.5) / TEXTURE_SIZE * 2.0 - 1.0, v = (y + 0.5) / TEXTURE_SIZE * 2.0 - 1.0;
            // The normal leans outwards over the outer fifth of the face.
            const double lean_u = std::abs(u) > 0.8 ? (std::abs(u) - 0.8) * 2.5 * (u > 0 ? 1 : -1) : 0.0;
            const double lean_v = std::abs(v) > 0.8 ? (std::abs(v) - 0.8) * 2.5 * (v > 0 ? 1 : -1) : 0.0;
            aiVector3D n(static_cast<float>(0.6 * lean_u), static_cast<float>(0.6 * lean_v), 1.0f);
            n.Normalize();
            for (float c : {n.x, n.y, n.z}) rgba.push_back(static_cast<uint8_t>(std::lround((c * 0.5 + 0.5) * 255.0)));
            rgba.push_back(255);
        }
    return rgba;
}

std::vector<uint8_t> roughness_metal_texture() {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < TEXTURE_SIZE; ++y)
        for (int x = 0; x < TEXTURE_SIZE; ++x) {
            const bool is_hem = edge_distance(x, y) < 0.18;
            rgba.push_back(is_hem ? 90 : 200);  // roughness
            rgba.push_back(is_hem ? 160 : 10);  // metal
            rgba.push_back(0);
            rgba.push_back(255);
        }
    return rgba;
}

void write_biped(const fs::path& out, const std::vector<ClipDesc>& clips) {
    const std::vector<Bone> bones = skeleton_bones("biped");
    const fs::path anims = out / "animations";
    write_scene(*skeleton_scene(bones), anims / "biped.anim");
    for (const ClipDesc& desc : clips)
        write_scene(*clip_scene(bones, sample_clip(desc, bones)), anims / "biped" / (desc.name + ".assbin"));

    const fs::path type_dir = anims / "biped";
    write_text(type_dir / "blend_space" / "walk_start.lua", "return { type = \"animation\", name = \"walk_start\" }\n");
    write_text(type_dir / "blend_space" / "walk.lua", WALK_BLEND_SPACE);
    write_text(type_dir / "blend_space" / "walk_stop.lua", "return { type = \"animation\", name = \"walk_stop\" }\n");
    write_text(type_dir / "blend_space" / "turn.lua", turn_blend_space());
    write_text(type_dir / "blend_space" / "locomotion.lua", locomotion_blend_space());
    write_text(type_dir / "override" / "wave.lua", override_descriptor());
    write_text(type_dir / "graph" / "biped_graph.lua", graph_descriptor());
    write_text(type_dir / "route_planner.lua", route_planner_descriptor());

    const fs::path models = out / "models";
    write_text(models / "biped.chanimgpu", model_configuration());
    write_scene(*body_scene(bones, true), models / "biped" / "biped_body.assbin");
    write_scene(*body_scene(bones, false), models / "biped" / "biped_body_lod1.assbin");
    write_png(models / "biped" / "biped_diffuse.png",
              cloth_texture(aiColor3D(0.25f, 0.42f, 0.75f), aiColor3D(0.93f, 0.87f, 0.72f)));
    write_png(models / "biped" / "biped_diffuse_red.png",
              cloth_texture(aiColor3D(0.78f, 0.24f, 0.18f), aiColor3D(0.2f, 0.2f, 0.22f)));
    write_png(models / "biped" / "biped_normal.png", bevel_normal_texture());
    write_png(models / "biped" / "biped_rm.png", roughness_metal_texture());
}

void write_biped_lua(const fs::path& out, const std::vector<ClipDesc>& clips) {
    const std::vector<Bone> bones = skeleton_bones("biped_lua");
    const fs::path anims = out / "animations";
    write_text(anims / "biped_lua.skel", lua_skeleton(bones));
    for (const ClipDesc& desc : clips)
        write_text(anims / "biped_lua" / (desc.name + ".lua"), lua_clip(sample_clip(desc, bones)));
    write_text(anims / "biped_lua" / "blend_space" / "walk.lua", WALK_BLEND_SPACE);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
        std::fprintf(stderr, "usage: %s [output directory]   (default %s)\n", argv[0], ANIMATOR_DATA_DIR);
        return argc > 2 ? 2 : 0;
    }
    const fs::path out = argc == 2 ? fs::path(argv[1]) : fs::path(ANIMATOR_DATA_DIR);
    try {
        const std::vector<ClipDesc> clips = clip_descriptions();
        write_biped(out, clips);
        write_biped_lua(out, clips);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    if (g_failed) return 1;
    std::printf("sample data written to %s\n", out.string().c_str());
    return 0;
}
