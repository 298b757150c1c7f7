// Builders for the animation library tests: skeleton types in temporary mounts, Lua skeletons and
// clip descriptors, hand-made assimp clips written as files, and one loaded type shared by a suite.
#pragma once
#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <assimp/cexport.h>
#include <assimp/anim.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>

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
    std::ostringstream s;
    s.precision(9);
    s << "{";
    for (int i = 0; i < n; ++i) s << (i ? ", " : "") << v[i];
    return s.str() + "}";
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
        for (const Frame& f : track.second)
            s += "    { s = {1, 1, 1}, t = " + numbers(f.t, 3) + ", r = " + numbers(f.r, 4) + " },\n";
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
    // A descriptor of one frame without tracks.
    void clip(const std::string& file) const { clip(file, clip_descriptor(30, 1, {})); }
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
    std::copy(positions.begin(), positions.end(), ch->mPositionKeys);
    ch->mNumRotationKeys = static_cast<unsigned>(rotations.size());
    ch->mRotationKeys = rotations.empty() ? nullptr : new aiQuatKey[rotations.size()];
    std::copy(rotations.begin(), rotations.end(), ch->mRotationKeys);
    ch->mNumScalingKeys = 1;
    ch->mScalingKeys = new aiVectorKey[1]{aiVectorKey(0.0, aiVector3D(1, 1, 1))};
    return ch;
}

inline aiAnimation* make_animation(double duration, double rate, const std::vector<aiNodeAnim*>& channels) {
    aiAnimation* a = new aiAnimation();
    a->mDuration = duration;
    a->mTicksPerSecond = rate;
    a->mNumChannels = static_cast<unsigned>(channels.size());
    a->mChannels = channels.empty() ? nullptr : new aiNodeAnim*[channels.size()];
    std::copy(channels.begin(), channels.end(), a->mChannels);
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

inline std::vector<char> assbin_clip(double duration, double rate, const std::vector<aiNodeAnim*>& channels) {
    return to_assbin(make_scene(make_animation(duration, rate, channels)));
}

// The value of a key track at time t (ticks), interpolated as assimp does and held beyond the ends.
template <class Key>
auto by_time(const Key* keys, unsigned n, double t) {
    const Key* b = std::upper_bound(keys, keys + n, t, [](double time, const Key& k) { return time < k.mTime; });
    if (b == keys) return keys[0].mValue;
    if (b == keys + n) return keys[n - 1].mValue;
    auto out = b->mValue;
    Assimp::Interpolator<Key>()(out, b[-1], b[0], ai_real((t - b[-1].mTime) / (b->mTime - b[-1].mTime)));
    return out;
}

// Whole-character blends held to eight lanes (where the processor has them) or to four while it lives.
class LaneWidth {
public:
    explicit LaneWidth(bool wide) { Animator::ClipRuntime::set_wide_lanes(wide); }
    ~LaneWidth() { Animator::ClipRuntime::set_wide_lanes(was_); }
    LaneWidth(const LaneWidth&) = delete;
    LaneWidth& operator=(const LaneWidth&) = delete;

private:
    bool was_ = Animator::ClipRuntime::wide_lanes();
};

// Every node under `r` at `t` asked alone (each right after the record at t + 1), then walked from the
// last node to the first, from the first to the last, and each right after a node under `other`: every
// walk gives what the node alone gives (within 1e-5 of the larger of 1 and the entry).
inline ::testing::AssertionResult walks_agree(const Animator::AnimationManager& m,
                                              const Animator::ShaderBlendSpace2D& r,
                                              const Animator::ShaderBlendSpace2D& other, float t) {
    const int n = m.get_num_nodes();
    std::vector<osg::Matrixf> alone(static_cast<size_t>(n));
    for (int node = 0; node < n; ++node) {
        m.get_bs_node_matrix(node, t + 1.0f, r);
        alone[node] = m.get_bs_node_matrix(node, t, r);
    }
    auto agrees = [&](int node, const char* walk) -> ::testing::AssertionResult {
        const osg::Matrixf got = m.get_bs_node_matrix(node, t, r);
        for (int i = 0; i < 16; ++i) {
            const float want = alone[node].ptr()[i];
            if (!(std::fabs(got.ptr()[i] - want) <= 1e-5f * std::max(1.0f, std::fabs(want))))
                return ::testing::AssertionFailure() << walk << ": node " << node << " entry " << i << " is "
                                                     << got.ptr()[i] << ", alone " << want;
        }
        return ::testing::AssertionSuccess();
    };
    for (int node = n - 1; node >= 0; --node) {
        ::testing::AssertionResult same = agrees(node, "backwards");
        if (!same) return same;
    }
    for (int node = 0; node < n; ++node) {
        ::testing::AssertionResult same = agrees(node, "forwards");
        if (!same) return same;
    }
    for (int node = 0; node < n; ++node) {
        m.get_bs_node_matrix(n - 1 - node, t, other);
        ::testing::AssertionResult same = agrees(node, "after another record");
        if (!same) return same;
    }
    return ::testing::AssertionSuccess();
}

// Type "walker", loaded once per suite: clip "walk" moves the root +X by 0.1 per frame (31 frames at
// 30 per second) while the spine bends about Z, "still" bends the spine alone and "lift" raises the
// arm by 0.01 per frame. Overrides: "Still.lua" is replaced by "still.lua" (same key), "broken.lua"
// does not parse and "lost.lua.bak" names a clip that does not exist.
class Walker : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        type = std::make_unique<SkeletonType>("walker");
        std::vector<Frame> spine, arm;
        for (int i = 0; i < 31; ++i) {
            spine.push_back({{0, 0.5f, 0}, {0, 0, std::sin(i * 0.01f), std::cos(i * 0.01f)}});
            arm.push_back({{0.3f, 0.01f * i, 0}, {0, 0, 0, 1}});
        }
        type->clip("walk.lua", clip_descriptor(30, 30, {{"walker", walk_frames(31, 0.1f)}, {"spine", spine}}));
        type->clip("still.lua", clip_descriptor(30, 30, {{"spine", spine}}));
        type->clip("lift.lua", clip_descriptor(30, 30, {{"arm", arm}}));
        type->write("walker/override/Wave.LUA", "return { animation = 'LIFT', bones = { 'arm', 'arm', 'ghost' } }");
        type->write("walker/override/Still.lua", "return { animation = 'lift', bones = { 'arm' } }");
        type->write("walker/override/still.lua", "return { animation = 'walk' }");
        type->write("walker/override/lost.lua.bak", "return { animation = 'missing', bones = { 'arm' } }");
        type->write("walker/override/broken.lua", "return {");
        log = std::make_unique<test::LogCapture>();
        m = type->load();
        walk = m->get_animation_index("walk");
        still = m->get_animation_index("still");
        lift = m->get_animation_index("lift");
    }
    static void TearDownTestSuite() {
        m.reset();
        log.reset();
        type.reset();
    }
    inline static std::unique_ptr<SkeletonType> type;
    inline static std::unique_ptr<test::LogCapture> log;
    inline static std::unique_ptr<Animator::AnimationManager> m;
    inline static int walk = -1, still = -1, lift = -1;
};

}  // namespace libtest
