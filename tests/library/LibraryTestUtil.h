// Builders for the animation library tests: skeleton types in temporary mounts, Lua skeletons and
// clip descriptors, and hand-made assimp clips written as files.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <assimp/cexport.h>
#include <assimp/scene.h>

#include "animator/library/AnimationManager.h"
#include "tests/support/TestSupport.h"

namespace libtest {

// x, y, z translation and x, y, z, w rotation of one descriptor frame.
struct Frame {
    float t[3];
    float r[4];
};
using Track = std::pair<std::string, std::vector<Frame>>;

inline std::string numbers(const float* v, int n) {
    std::string s = "{";
    char buf[64];
    for (int i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s%.9g", i ? ", " : "", v[i]);
        s += buf;
    }
    return s + "}";
}

// "m" of a pure translation in row-vector order (numbers 13, 14, 15 are the translation).
inline std::string translation_m(float x, float y, float z) {
    const float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, y, z, 1};
    return numbers(m, 16);
}

// scene_rooot -> <type> (at 0, 1, 0) -> spine (0, 0.5, 0) -> head (0, 0.25, 0); <type> -> arm (0.3, 0, 0).
inline std::string standard_skeleton(const std::string& type) {
    return "skeleton = { [\"" + type + "\"] = { m = " + translation_m(0, 1, 0) +
           ", children = { spine = { m = " + translation_m(0, 0.5f, 0) +
           ", children = { head = { m = " + translation_m(0, 0.25f, 0) + " } } }, arm = { m = " +
           translation_m(0.3f, 0, 0) + " } } } }\n";
}

inline std::string clip_descriptor(int rate, int duration, const std::vector<Track>& tracks) {
    std::string s = "orn_character_animation = { rate = " + std::to_string(rate) +
                    ", duration = " + std::to_string(duration) + ", animation = {\n";
    for (const Track& track : tracks) {
        s += "  [\"" + track.first + "\"] = {\n";
        for (const Frame& f : track.second) {
            const float scale[3] = {1, 1, 1};
            s += "    { s = " + numbers(scale, 3) + ", t = " + numbers(f.t, 3) + ", r = " + numbers(f.r, 4) + " },\n";
        }
        s += "  },\n";
    }
    return s + "} }\n";
}

// Frames moving along +X by `step` per frame, without rotation.
inline std::vector<Frame> walk_frames(int count, float step, float y = 1.0f) {
    std::vector<Frame> frames;
    for (int i = 0; i < count; ++i) frames.push_back({{step * i, y, 0}, {0, 0, 0, 1}});
    return frames;
}

// A skeleton type in a temporary directory mounted at "/animations/".
class SkeletonType {
public:
    explicit SkeletonType(const std::string& name, bool with_skeleton = true) : name(name) {
        dir.mkdir(name);
        if (with_skeleton) write(name + ".skel", standard_skeleton(name));
        mount = std::make_unique<test::ScopedMount>(dir.path(), "/animations/");
    }
    void write(const std::string& relative, const std::string& text) const { dir.write(relative, text); }
    void write(const std::string& relative, const std::vector<char>& data) const { dir.write(relative, data); }
    void clip(const std::string& file, const std::string& text) const { write(name + "/" + file, text); }
    void clip(const std::string& file, const std::vector<char>& data) const { write(name + "/" + file, data); }
    std::unique_ptr<Animator::AnimationManager> load() const {
        auto m = std::make_unique<Animator::AnimationManager>(name.c_str());
        m->init();
        return m;
    }

    std::string name;
    test::TempDir dir;
    std::unique_ptr<test::ScopedMount> mount;
};

// A channel with the given keys (times in ticks); scaling gets one key of 1.
inline aiNodeAnim* make_channel(const std::string& node, const std::vector<aiVectorKey>& positions,
                                const std::vector<aiQuatKey>& rotations) {
    aiNodeAnim* ch = new aiNodeAnim();
    ch->mNodeName.Set(node);
    ch->mNumPositionKeys = static_cast<unsigned>(positions.size());
    ch->mPositionKeys = positions.empty() ? nullptr : new aiVectorKey[positions.size()];
    for (size_t i = 0; i < positions.size(); ++i) ch->mPositionKeys[i] = positions[i];
    ch->mNumRotationKeys = static_cast<unsigned>(rotations.size());
    ch->mRotationKeys = rotations.empty() ? nullptr : new aiQuatKey[rotations.size()];
    for (size_t i = 0; i < rotations.size(); ++i) ch->mRotationKeys[i] = rotations[i];
    ch->mNumScalingKeys = 1;
    ch->mScalingKeys = new aiVectorKey[1];
    ch->mScalingKeys[0] = aiVectorKey(0.0, aiVector3D(1, 1, 1));
    return ch;
}

inline aiAnimation* make_animation(double duration, double rate, const std::vector<aiNodeAnim*>& channels) {
    aiAnimation* a = new aiAnimation();
    a->mDuration = duration;
    a->mTicksPerSecond = rate;
    a->mNumChannels = static_cast<unsigned>(channels.size());
    a->mChannels = channels.empty() ? nullptr : new aiNodeAnim*[channels.size()];
    for (size_t i = 0; i < channels.size(); ++i) a->mChannels[i] = channels[i];
    return a;
}

// A scene holding one animation (and a root node, which the exporter needs).
inline aiScene* make_scene(aiAnimation* animation) {
    aiScene* s = new aiScene();
    s->mRootNode = new aiNode("clip_root");
    s->mNumAnimations = 1;
    s->mAnimations = new aiAnimation*[1]{animation};
    return s;
}

// The scene as an assbin file image (empty when the exporter fails); the scene is deleted.
inline std::vector<char> to_assbin(aiScene* scene) {
    std::vector<char> out;
    const aiExportDataBlob* blob = aiExportSceneToBlob(scene, "assbin", 0);
    if (blob) {
        const char* p = static_cast<const char*>(blob->data);
        out.assign(p, p + blob->size);
        aiReleaseExportBlob(blob);
    }
    delete scene;
    return out;
}

}  // namespace libtest
