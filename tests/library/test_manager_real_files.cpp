// Clips as exporters write them: static roots, keys at rates other than the tick rate, scaled and
// turned armatures, names held by two nodes, files of several animations and descriptor keys. Poses
// are compared with assimp's own evaluation of the original keys; the worst errors are recorded as
// test properties (angles in degrees, distances as fractions of the skeleton's size).
#include <cmath>
#include <functional>
#include <map>
#include <set>

#include <assimp/cimport.h>
#include <gtest/gtest.h>

#include "animator/util/MathUtils.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::by_time;
using libtest::SkeletonType;

namespace {

const double kPi = 3.14159265358979;
const aiVector3D X(1, 0, 0), Y(0, 1, 0), Z(0, 0, 1);

aiMatrix4x4 transform(const aiVector3D& at, const aiQuaternion& q = aiQuaternion(), float scale = 1.0f) {
    return aiMatrix4x4(aiVector3D(scale, scale, scale), q, at);
}

aiNode* node(const std::string& name, const aiMatrix4x4& m, std::vector<aiNode*> children = {}) {
    aiNode* n = new aiNode(name);
    n->mTransformation = m;
    if (!children.empty()) n->addChildren(unsigned(children.size()), children.data());
    return n;
}

// How a node moves, as functions of the time in seconds.
struct Motion {
    std::function<aiVector3D(double)> position;
    std::function<aiQuaternion(double)> rotation;
    std::function<aiVector3D(double)> scale = [](double) { return aiVector3D(1, 1, 1); };
};

// A channel keyed at the given ticks of a clip running at `rate` ticks per second.
aiNodeAnim* channel(const std::string& name, const std::vector<double>& ticks, double rate, const Motion& m) {
    std::vector<aiVectorKey> p, s;
    std::vector<aiQuatKey> r;
    for (double t : ticks) {
        p.push_back({t, m.position(t / rate)});
        r.push_back({t, m.rotation(t / rate)});
        s.push_back({t, m.scale(t / rate)});
    }
    aiNodeAnim* ch = libtest::make_channel(name, p, r);
    delete[] ch->mScalingKeys;
    ch->mNumScalingKeys = unsigned(s.size());
    ch->mScalingKeys = new aiVectorKey[s.size()];
    std::copy(s.begin(), s.end(), ch->mScalingKeys);
    return ch;
}

std::vector<double> ticks_every(double step, double first, int count) {
    std::vector<double> t;
    for (int i = 0; i < count; ++i) t.push_back(first + i * step);
    return t;
}

// A file of a node tree and animations (with a triangle skinned to `bones`, held by `holder`).
std::vector<char> scene_file(aiNode* root, const std::vector<aiAnimation*>& animations,
                             const std::vector<std::string>& bones = {}, aiNode* holder = nullptr) {
    aiScene* s = new aiScene();
    s->mRootNode = root;
    s->mNumAnimations = unsigned(animations.size());
    s->mAnimations = new aiAnimation*[animations.size()];
    std::copy(animations.begin(), animations.end(), s->mAnimations);
    s->mNumMaterials = 1;
    s->mMaterials = new aiMaterial*[1]{new aiMaterial()};
    if (!bones.empty()) {
        aiMesh* mesh = new aiMesh();
        mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
        mesh->mNumVertices = 3;
        mesh->mVertices = new aiVector3D[3]{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        mesh->mNumFaces = 1;
        mesh->mFaces = new aiFace[1];
        mesh->mFaces[0].mNumIndices = 3;
        mesh->mFaces[0].mIndices = new unsigned[3]{0, 1, 2};
        mesh->mNumBones = unsigned(bones.size());
        mesh->mBones = new aiBone*[bones.size()];
        for (size_t b = 0; b < bones.size(); ++b) {
            mesh->mBones[b] = new aiBone();
            mesh->mBones[b]->mName.Set(bones[b]);
            mesh->mBones[b]->mNumWeights = 1;
            mesh->mBones[b]->mWeights = new aiVertexWeight[1]{aiVertexWeight(unsigned(b % 3), 1.0f)};
        }
        s->mNumMeshes = 1;
        s->mMeshes = new aiMesh*[1]{mesh};
        holder->mNumMeshes = 1;
        holder->mMeshes = new unsigned[1]{0};
    }
    return libtest::to_assbin(s);
}

// assimp's evaluation of a file: a node's local transform is its channel (by default the first node
// of the channel's name) read by key time as translation * rotation * scale, else its own transform.
class Reference {
public:
    explicit Reference(const std::vector<char>& bytes, unsigned animation = 0) {
        scene = aiImportFileFromMemory(bytes.data(), unsigned(bytes.size()), 0, "");
        if (scene && animation < scene->mNumAnimations) anim = scene->mAnimations[animation];
        if (scene) walk(scene->mRootNode);
    }
    ~Reference() { aiReleaseImport(scene); }
    bool ok() const { return anim != nullptr; }
    double rate() const { return anim->mTicksPerSecond > 0 ? anim->mTicksPerSecond : 25.0; }
    double seconds() const { return anim->mDuration / rate(); }
    // The node that the channel of `name` drives (the first of that name unless told otherwise).
    void drive(const std::string& name, const aiNode* n) { driven[name] = n; }
    const aiNodeAnim* channel_of(const aiNode* n) const {
        auto it = driven.find(n->mName.C_Str());
        if (it != driven.end() && it->second != n) return nullptr;
        if (it == driven.end() && scene->mRootNode->FindNode(n->mName) != n) return nullptr;
        for (unsigned c = 0; c < anim->mNumChannels; ++c)
            if (anim->mChannels[c]->mNodeName == n->mName) return anim->mChannels[c];
        return nullptr;
    }
    aiMatrix4x4 local(const aiNode* n, double seconds) const {
        const aiNodeAnim* ch = channel_of(n);
        if (!ch) return n->mTransformation;
        const double t = seconds * rate();
        aiQuaternion q = by_time(ch->mRotationKeys, ch->mNumRotationKeys, t);
        return aiMatrix4x4(by_time(ch->mScalingKeys, ch->mNumScalingKeys, t), q.Normalize(),
                           by_time(ch->mPositionKeys, ch->mNumPositionKeys, t));
    }
    aiMatrix4x4 world(const aiNode* n, double seconds) const {
        aiMatrix4x4 m = local(n, seconds);
        for (const aiNode* p = n->mParent; p; p = p->mParent) m = local(p, seconds) * m;
        return m;
    }
    // The extent of the node positions at time 0.
    float size() const {
        aiVector3D lo(1e30f, 1e30f, 1e30f), hi(-1e30f, -1e30f, -1e30f);
        for (const aiNode* n : nodes) {
            const aiMatrix4x4 w = world(n, 0.0);
            const aiVector3D p(w.a4, w.b4, w.c4);
            for (int i = 0; i < 3; ++i) lo[i] = std::min(lo[i], p[i]), hi[i] = std::max(hi[i], p[i]);
        }
        return (hi - lo).Length();
    }
    // Times (seconds) of every key of the tracks of several keys inside the clip, and the midpoints
    // between consecutive ones.
    void key_times(std::vector<double>& keys, std::vector<double>& between) const {
        std::vector<double> t;
        for (unsigned c = 0; c < anim->mNumChannels; ++c) {
            const aiNodeAnim* ch = anim->mChannels[c];
            for (unsigned k = 0; ch->mNumRotationKeys > 1 && k < ch->mNumRotationKeys; ++k)
                t.push_back(ch->mRotationKeys[k].mTime);
            for (unsigned k = 0; ch->mNumPositionKeys > 1 && k < ch->mNumPositionKeys; ++k)
                t.push_back(ch->mPositionKeys[k].mTime);
        }
        std::sort(t.begin(), t.end());
        t.erase(std::unique(t.begin(), t.end(), [](double a, double b) { return b - a < 1e-6; }), t.end());
        keys.clear();
        between.clear();
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] < 0 || t[i] > anim->mDuration + 1e-6) continue;
            keys.push_back(t[i] / rate());
            if (i + 1 < t.size() && t[i + 1] <= anim->mDuration) between.push_back((t[i] + t[i + 1]) / 2 / rate());
        }
    }

    const aiScene* scene = nullptr;
    const aiAnimation* anim = nullptr;
    std::vector<const aiNode*> nodes;  // depth-first pre-order: node ids

private:
    void walk(const aiNode* n) {
        nodes.push_back(n);
        for (unsigned i = 0; i < n->mNumChildren; ++i) walk(n->mChildren[i]);
    }
    std::map<std::string, const aiNode*> driven;
};

// A node of a pose in model space: the pose moved by the clip's root motion (clamped time).
osg::Matrixf model_space(const AnimationManager& m, int clip, float seconds, int node) {
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    m.get_pose(clip, seconds, world, false, bones);
    return to_Matrixf(world[node]) * std::get<0>(m.get_root_matrix(clip, seconds, osg::Vec3f(0, -1, -1)));
}

float scale_of(const osg::Matrixf& m) { return osg::Vec3f(m(0, 0), m(0, 1), m(0, 2)).length(); }

// Worst differences between transforms: rotation (degrees), translation and scale (fractions of `size`
// and of the reference's scale).
struct Worst {
    double angle = 0, distance = 0, scale = 0;
    void add(const osg::Matrixf& ours, const aiMatrix4x4& reference, double size) {
        osg::Matrixf a = ours, b = to_Matrixf(reference);
        const float sa = scale_of(a), sb = scale_of(b);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) a(r, c) /= sa, b(r, c) /= sb;
        // The angle of the turn from one to the other (accurate for small angles too).
        const osg::Quat turn = a.getRotate().inverse() * b.getRotate();
        angle = std::max(angle, 2.0 * std::atan2(turn.asVec3().length(), std::fabs(turn.w())) * 180.0 / kPi);
        distance = std::max(distance, double((a.getTrans() - b.getTrans()).length()) / size);
        scale = std::max(scale, std::fabs(double(sa) - sb) / sb);
    }
    void record(const std::string& key) const {
        ::testing::Test::RecordProperty(key + "_deg", std::to_string(angle));
        ::testing::Test::RecordProperty(key + "_size", std::to_string(distance));
    }
};

// Largest differences allowed at key times and between keys (degrees, fractions of the size).
struct Limits {
    double key_angle = 0.5, key_distance = 0.001, angle = 2.0, distance = 0.005;
};

// Compares the model-space pose of every node of the character (but `skip`) with the reference, at key
// times and between keys.
void compare_poses(const AnimationManager& m, int clip, const Reference& ref, const std::string& label,
                   const std::set<std::string>& skip = {}, const Limits& limits = Limits()) {
    SCOPED_TRACE(label);
    std::vector<double> keys, between;
    ref.key_times(keys, between);
    const double size = ref.size();
    // The root motion moves the character drawn: the root and the nodes below it.
    const int root = m.get_root_node_id();
    auto in_body = [&](int id) {
        const auto& path = m.get_node_paths()[id];
        return root < 0 || std::find(path.begin(), path.end(), uint32_t(root)) != path.end();
    };
    Worst at_keys, off_keys;
    for (const auto& [times, worst] : {std::pair{&keys, &at_keys}, {&between, &off_keys}})
        for (double t : *times)
            for (size_t id = 0; id < ref.nodes.size(); ++id)
                if (!skip.count(ref.nodes[id]->mName.C_Str()) && in_body(int(id)))
                    worst->add(model_space(m, clip, float(t), int(id)), ref.world(ref.nodes[id], t), size);
    at_keys.record(label + "_keys");
    off_keys.record(label + "_between");
    EXPECT_LT(at_keys.angle, limits.key_angle);
    EXPECT_LT(at_keys.distance, limits.key_distance);
    EXPECT_LT(at_keys.scale, 0.005);
    EXPECT_LT(off_keys.angle, limits.angle);
    EXPECT_LT(off_keys.distance, limits.distance);
    EXPECT_FALSE(keys.empty());
}

// scene -> <root> (0, 1, 0) -> spine (0, 0.5, 0) -> head (0, 0.25, 0); <root> -> arm (0.3, 0, 0).
aiNode* biped(const std::string& root) {
    return node("scene", aiMatrix4x4(),
                {node(root, transform({0, 1, 0}),
                      {node("spine", transform({0, 0.5f, 0}), {node("head", transform({0, 0.25f, 0}))}),
                       node("arm", transform({0.3f, 0, 0}))})});
}

// Brisk motions of the biped's bones (tens of degrees between keys at 24 per second); a static root
// holds one key.
std::vector<aiNodeAnim*> biped_channels(const std::string& root, const std::vector<double>& ticks, double rate,
                                        const std::vector<double>& spine_ticks, bool static_root = false) {
    const aiVector3D tilted = aiVector3D(0.2f, 0.1f, 1).Normalize();
    return {channel(root, static_root ? std::vector<double>{0} : ticks, rate,
                    {[](double s) { return aiVector3D(float(0.4 * s), float(1 + 0.05 * std::sin(4 * kPi * s)), 0); },
                     [](double s) { return aiQuaternion(Y, float(0.5 * s)); }}),
            channel("spine", spine_ticks, rate,
                    {[](double) { return aiVector3D(0, 0.5f, 0); },
                     [=](double s) { return aiQuaternion(tilted, float(1.5 * std::sin(2 * kPi * 0.8 * s))); }}),
            channel("head", ticks, rate,
                    {[](double) { return aiVector3D(0, 0.25f, 0); },
                     [](double s) { return aiQuaternion(X, float(1.0 * std::sin(2 * kPi * 1.3 * s + 0.5))); }}),
            channel("arm", ticks, rate,
                    {[](double s) { return aiVector3D(0.3f, float(0.1 * std::sin(2 * kPi * s)), 0); },
                     [](double s) { return aiQuaternion(Y, float(2.0 * s)); }})};
}

// Loads a file as both the skeleton and the one clip of a type.
std::unique_ptr<AnimationManager> load_file(SkeletonType& type, const std::vector<char>& bytes, const char* clip) {
    type.write(type.name + ".anim", bytes);
    type.clip(std::string(clip) + ".assbin", bytes);
    return type.load();
}

ShaderBlendSpace2D clip_record(int clip, float start = 0.0f) {
    ShaderBlendSpace2D r;
    r.kind = BS_RECORD_CLIP;
    r.samples[0].clip = float(clip);
    r.start_time = start;
    r.loop = 0.0f;
    return r;
}

}  // namespace

// Keys on a grid of any step are hit exactly (the grid becomes the tick); clips already holding one key
// per tick keep their rate; keys on no grid are resampled no coarser than their densest interval. Each
// track is read at its own key of a tick, also under a root of one key, node by node as connectors and
// root queries read it.
TEST(RealFiles, KeysOnAGridAreHitAndOthersResampledFinely) {
    struct Case {
        const char* label;
        double rate, duration;
        std::vector<double> ticks;  // key times of every track
        std::vector<int> missing;   // indices of keys the spine lacks
        double mended_rate;         // 0: no grid, resampled
        bool kept;                  // keys left as they are
        Limits limits;
        bool static_root = false;
    };
    const double gltf = 1000.0 / 24.0;
    // Keys on no grid are not all hit: the corners they make are cut by a quarter of their densest interval.
    const Limits resampled{1.0, 0.005, 2.0, 0.005};
    const Case cases[] = {
        {"static_root", 30, 30, ticks_every(1, 0, 31), {}, 30, true, {}, true},
        {"fbx_24", 24, 47, ticks_every(1, 0, 48), {}, 24, true, {}},
        {"gltf_24", 1000, 2000, ticks_every(gltf, gltf, 48), {}, 24, false, {}},
        {"gltf_24_missing", 1000, 2000, ticks_every(gltf, gltf, 48), {5, 6, 20}, 24, false, {}},
        {"x_4800", 4800, 4800, ticks_every(160, 0, 31), {}, 30, false, {}},
        {"every_tick_1000", 1000, 600, ticks_every(1, 0, 601), {}, 1000, true, {}},
        {"no_grid", 30, 18, {0, 1.7, 3.1, 5.9, 7.0, 9.4, 12.0, 13.3, 15.8, 18.0}, {}, 0, false, resampled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<double> spine;
        for (size_t i = 0; i < c.ticks.size(); ++i)
            if (std::find(c.missing.begin(), c.missing.end(), int(i)) == c.missing.end()) spine.push_back(c.ticks[i]);
        SkeletonType type("grid", false);
        const std::vector<char> bytes = scene_file(
            biped("grid"),
            {libtest::make_animation(c.duration, c.rate,
                                     biped_channels("grid", c.ticks, c.rate, spine, c.static_root))});
        auto m = load_file(type, bytes, "clip");
        ASSERT_EQ(m->get_num_animations(), 1);
        Reference ref(bytes);
        ASSERT_TRUE(ref.ok());
        const aiAnimation* a = m->get_clip_animation(0);
        EXPECT_NEAR(m->get_animation_duration(0), c.duration / c.rate, 1e-6);
        const aiNodeAnim* arm = m->get_description(0)->channels[m->get_node_id("arm")];
        if (c.kept) {
            EXPECT_EQ(a->mTicksPerSecond, c.rate);
            EXPECT_EQ(a->mDuration, c.duration);
            for (unsigned k = 0; k < arm->mNumRotationKeys; ++k)
                EXPECT_EQ(arm->mRotationKeys[k].mValue, ref.anim->mChannels[3]->mRotationKeys[k].mValue);
        } else if (c.mended_rate > 0) {
            EXPECT_NEAR(a->mTicksPerSecond, c.mended_rate, 1e-6);
        } else {
            // No interval of the new keys is coarser than a quarter of the densest interval of the source.
            EXPECT_LE(1.0 / a->mTicksPerSecond, 1.1 / c.rate / 4 + 1e-9);
        }
        EXPECT_EQ(arm->mNumRotationKeys, unsigned(a->mDuration) + 1);
        compare_poses(*m, 0, ref, c.label, {}, c.limits);

        Worst nodes;
        const ShaderBlendSpace2D rec = clip_record(0);
        ShaderBlendSpace2D next = clip_record(0);
        next.blend_start = 0.1f, next.blend_duration = 0.5f;
        std::vector<double> keys, between;
        ref.key_times(keys, between);
        for (const char* name : {"spine", "head", "arm"})
            for (double t : keys) {
                const int id = m->get_node_id(name);
                const aiMatrix4x4 expected = ref.local(ref.nodes[id], t);
                nodes.add(m->sample_animation(id, 0, float(t), false), expected, 1.0);
                nodes.add(m->get_bs_node_matrix(id, float(t), rec), expected, 1.0);
                nodes.add(m->blend_stack_items(id, float(t), rec, next), expected, 1.0);
            }
        nodes.record(std::string(c.label) + "_nodes");
        EXPECT_LT(nodes.angle, c.limits.key_angle);
        EXPECT_LT(nodes.distance, c.limits.key_distance);
    }
}

// A constant x100 scale on the armature's channel reaches every pose and carries through blends;
// non-uniform scale is made uniform with one warning for the clip.
TEST(RealFiles, ArmatureScaleReachesPosesAndBlends) {
    const aiQuaternion z_up(X, float(-kPi / 2));
    auto armature = [&](float scale) {
        return Motion{[](double) { return aiVector3D(0, 0, 0); }, [=](double) { return z_up; },
                      [=](double) { return aiVector3D(scale, scale, scale); }};
    };
    auto tree = [&] {
        return node("scene", aiMatrix4x4(),
                    {node("Armature", transform({0, 0, 0}, z_up, 100),
                          {node("scl", transform({0, 0, 0.01f}),
                                {node("spine", transform({0, 0, 0.005f}), {node("head", transform({0, 0, 0.0025f}))}),
                                 node("arm", transform({0.003f, 0, 0}))})})});
    };
    auto clip = [&](float scale, bool squash) {
        const std::vector<double> ticks = ticks_every(1, 0, 25);
        Motion arm{[](double) { return aiVector3D(0.003f, 0, 0); }, [](double s) { return aiQuaternion(Z, float(s)); }};
        if (squash) arm.scale = [](double s) { return aiVector3D(1, float(1 + 0.5 * s), 1); };
        return libtest::make_animation(
            24, 24,
            {channel("Armature", {0}, 24, armature(scale)),
             channel("scl", ticks, 24,
                     {[](double s) { return aiVector3D(float(0.004 * s), 0, 0.01f); },
                      [](double s) { return aiQuaternion(Z, float(0.3 * s)); }}),
             channel("spine", ticks, 24,
                     {[](double) { return aiVector3D(0, 0, 0.005f); },
                      [](double s) { return aiQuaternion(X, float(std::sin(2 * kPi * s))); }}),
             channel("arm", ticks, 24, arm)});
    };
    const std::vector<char> full = scene_file(tree(), {clip(100, true)});
    const std::vector<char> half = scene_file(tree(), {clip(50, false)});
    SkeletonType type("scl", false);
    type.write("scl.anim", full);
    type.clip("full.assbin", full);
    type.clip("half.assbin", half);
    test::LogCapture log;
    auto m = type.load();
    ASSERT_EQ(m->get_num_animations(), 2);
    const int f = m->get_animation_index("full"), h = m->get_animation_index("half");
    EXPECT_EQ(log.count(16, "non-uniform scale"), 1u) << log.dump();
    EXPECT_TRUE(log.has(16, "animation full: non-uniform scale on 1 channels")) << log.dump();
    for (int c : {f, h}) {
        const aiAnimation* a = m->get_clip_animation(c);
        for (unsigned i = 0; i < a->mNumChannels; ++i)
            for (unsigned k = 0; k < a->mChannels[i]->mNumScalingKeys; ++k) {
                const aiVector3D s = a->mChannels[i]->mScalingKeys[k].mValue;
                EXPECT_TRUE(s.x == s.y && s.y == s.z) << a->mChannels[i]->mNodeName.C_Str() << " key " << k;
            }
    }

    Reference ref_full(full), ref_half(half);
    // The arm's squash is not kept; everything else is the file's.
    compare_poses(*m, f, ref_full, "scaled_armature", {"arm"});
    compare_poses(*m, h, ref_half, "scaled_armature_half");

    // Blends carry the scale linearly: single nodes, records, cross-fades and pose blends.
    const int armature_id = m->get_node_id("Armature");
    EXPECT_NEAR(scale_of(m->sample_animation(armature_id, f, 0.5f, false)), 100.0f, 1e-3);
    ShaderBlendSpace2D blend;
    blend.kind = BS_RECORD_2D;
    blend.samples[0].clip = blend.samples[2].clip = float(f);
    blend.samples[1].clip = blend.samples[3].clip = float(h);
    blend.weight_x = 0.5f;
    EXPECT_NEAR(scale_of(m->get_bs_node_matrix(armature_id, 0.3f, blend)), 75.0f, 1e-3);
    ShaderBlendSpace2D next = clip_record(h);
    next.blend_start = 0.0f, next.blend_duration = 1.0f;
    EXPECT_NEAR(scale_of(m->blend_stack_items(armature_id, 0.25f, clip_record(f), next)), 87.5f, 1e-3);
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    m->get_blended_pose(f, 0.5f, h, 0.5f, 0.5f, world, bones);
    EXPECT_NEAR(scale_of(to_Matrixf(world[armature_id])), 75.0f, 1e-3);
}

// A name held by a bone and by a mesh node stands for the bone wherever the two lie; held by two plain
// nodes, for the first. One warning names the duplicates.
TEST(RealFiles, DuplicateNamesStandForTheBone) {
    auto bone_chain = [] {
        return node("Armature", aiMatrix4x4(),
                    {node("dup", transform({0, 1, 0}),
                          {node("spine", transform({0, 0.5f, 0}), {node("arm", transform({0.3f, 0.2f, 0}))})})});
    };
    struct Case {
        const char* label;
        bool mesh_first, skinned;
    };
    for (const Case& c :
         {Case{"bone_first", false, true}, Case{"mesh_first", true, true}, Case{"no_mesh", false, false}}) {
        SCOPED_TRACE(c.label);
        aiNode* mesh_node = node("arm", transform({2, 0, 0}));
        aiNode* root = c.mesh_first ? node("scene", aiMatrix4x4(), {mesh_node, bone_chain()})
                                    : node("scene", aiMatrix4x4(), {bone_chain(), mesh_node});
        const std::vector<double> ticks = ticks_every(1, 0, 31);
        aiAnimation* a = libtest::make_animation(
            30, 30,
            {channel("arm", ticks, 30,
                     {[](double s) { return aiVector3D(0.3f, float(0.2 + 0.1 * s), 0); },
                      [](double s) { return aiQuaternion(Z, float(2 * s)); }}),
             channel("spine", ticks, 30,
                     {[](double) { return aiVector3D(0, 0.5f, 0); },
                      [](double s) { return aiQuaternion(X, float(s)); }})});
        const std::vector<char> bytes =
            c.skinned ? scene_file(root, {a}, {"spine", "arm"}, mesh_node) : scene_file(root, {a});
        SkeletonType type("dup", false);
        test::LogCapture log;
        auto m = load_file(type, bytes, "clip");
        ASSERT_EQ(m->get_num_animations(), 1) << log.dump();
        EXPECT_EQ(log.count(16, "several nodes named 'arm'"), 1u) << log.dump();

        Reference ref(bytes);
        const aiNode* bone = ref.scene->mRootNode->FindNode("spine")->mChildren[0];
        const aiNode* expected = c.skinned ? bone : ref.scene->mRootNode->FindNode("arm");
        ref.drive("arm", expected);
        const int id = int(std::find(ref.nodes.begin(), ref.nodes.end(), expected) - ref.nodes.begin());
        EXPECT_EQ(m->get_node_id("arm"), id) << log.dump();
        Worst worst;
        for (float t : {0.0f, 0.33f, 0.5f, 1.0f}) {
            std::vector<aiMatrix4x4> world;
            std::vector<osg::Vec3f> bones;
            m->get_pose(0, t, world, false, bones);
            for (size_t n = 0; n < ref.nodes.size(); ++n)
                worst.add(to_Matrixf(world[n]), ref.world(ref.nodes[n], t), ref.size());
        }
        worst.record(std::string("duplicate_") + c.label);
        EXPECT_LT(worst.angle, 0.5);
        EXPECT_LT(worst.distance, 0.001);
    }
}

// Heading and travel are taken in the model's Y-up space whatever the axes and scale of the root's
// parents: drawn with its root motion the character stands where the file puts it, and one moving
// only up and down stays in place.
TEST(RealFiles, RootMotionInModelSpaceUnderTurnedParents) {
    struct Case {
        const char* label;
        aiMatrix4x4 parents;
        float scale;  // of the parents
    };
    const aiQuaternion z_up(X, float(-kPi / 2));
    const Case cases[] = {
        {"y_up", aiMatrix4x4(), 1.0f},
        {"z_up", transform({0, 0, 0}, z_up), 1.0f},
        {"z_up_centimetres", transform({0, 0, 0}, z_up, 0.01f), 0.01f},
        {"turned_z_up", transform({0.5f, 0, -0.25f}, aiQuaternion(Y, 0.7f) * z_up), 1.0f},
    };
    for (const Case& c : cases) {
        for (bool walking : {true, false}) {
            SCOPED_TRACE(std::string(c.label) + (walking ? " walking" : " in place"));
            aiMatrix4x4 inverse = c.parents;
            inverse.Inverse();
            aiVector3D unused_scale, unused_at;
            aiQuaternion turn;
            c.parents.Decompose(unused_scale, turn, unused_at);
            const aiQuaternion unturn = aiQuaternion(turn.w, -turn.x, -turn.y, -turn.z);
            // The root's model-space motion, put into the parents' space.
            auto where = [=](double s) {
                const aiVector3D w(walking ? float(0.6 * s) : 0.0f, float(1 + 0.03 * std::sin(4 * kPi * s)),
                                   walking ? float(0.2 * s) : 0.0f);
                return inverse * w;
            };
            auto facing = [=](double s) {
                return unturn * aiQuaternion(Y, walking ? float(0.4 * s) : 0.0f) *
                       aiQuaternion(X, float(0.1 * std::sin(2 * kPi * s)));
            };
            const float unit = 1.0f / c.scale;
            const std::vector<double> ticks = ticks_every(1, 0, 31);
            aiAnimation* a = libtest::make_animation(
                30, 30,
                {channel("zup", ticks, 30, {where, facing}),
                 channel("spine", ticks, 30,
                         {[=](double) { return aiVector3D(0, 0.5f * unit, 0); },
                          [](double s) { return aiQuaternion(Z, float(0.3 * std::sin(2 * kPi * s))); }})});
            aiNode* tree = node("scene", aiMatrix4x4(),
                                {node("Armature", c.parents,
                                      {node("zup", transform(where(0)),
                                            {node("spine", transform({0, 0.5f * unit, 0}),
                                                  {node("head", transform({0, 0.25f * unit, 0}))})})})});
            const std::vector<char> bytes = scene_file(tree, {a});
            SkeletonType type("zup", false);
            auto m = load_file(type, bytes, "clip");
            ASSERT_EQ(m->get_num_animations(), 1);
            Reference ref(bytes);
            const std::string label = std::string("root_") + c.label + (walking ? "_walk" : "_in_place");
            compare_poses(*m, 0, ref, label);

            // The extracted motion: model-space travel on the ground, and none for a character in place.
            double drift = 0;
            for (float t : {0.0f, 0.25f, 0.5f, 0.8f, 1.0f}) {
                const osg::Matrixf motion = std::get<0>(m->get_root_matrix(0, t, osg::Vec3f(0, -1, -1)));
                EXPECT_NEAR(motion(3, 1), 0.0f, 1e-6);
                if (walking) {
                    EXPECT_NEAR(motion(3, 0), 0.6f * t, 1e-3) << t;
                    EXPECT_NEAR(motion(3, 2), 0.2f * t, 1e-3) << t;
                    EXPECT_NEAR(get_heading(osg::Vec3f(1, 0, 0) * motion - motion.getTrans()), 0.4f * t, 1e-3) << t;
                } else {
                    drift = std::max(drift, double(motion.getTrans().length()) / ref.size());
                }
            }
            ::testing::Test::RecordProperty(label + "_drift", std::to_string(drift));
            EXPECT_LT(drift, 0.005);
        }
    }
}

// Of several animations in a file the clip is the one bearing the take name, else the last with
// channels; every query and the key mending use it.
TEST(RealFiles, OneAnimationOfSeveralIsTheClipEverywhere) {
    const double gltf = 1000.0 / 24.0;
    auto animation = [&](const char* name, double speed, bool empty) {
        aiAnimation* a = libtest::make_animation(
            2000, 1000,
            empty ? std::vector<aiNodeAnim*>{}
                  : std::vector<aiNodeAnim*>{channel("spine", ticks_every(gltf, gltf, 48), 1000,
                                                     {[](double) { return aiVector3D(0, 0.5f, 0); },
                                                      [=](double s) { return aiQuaternion(Z, float(speed * s)); }})});
        a->mName.Set(name);
        return a;
    };
    struct Case {
        const char* label;
        std::vector<std::pair<const char*, bool>> animations;  // name, empty
        unsigned chosen;
    };
    const Case cases[] = {
        {"last", {{"Take 001", false}, {"walk", false}}, 1},
        {"take_name", {{"mixamo.com", false}, {"other", false}}, 0},
        {"last_with_channels", {{"walk", false}, {"empty", true}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<aiAnimation*> anims;
        for (size_t i = 0; i < c.animations.size(); ++i)
            anims.push_back(animation(c.animations[i].first, 1.0 + 2.0 * i, c.animations[i].second));
        const std::vector<char> bytes = scene_file(biped("multi"), anims);
        SkeletonType type("multi", false);
        test::LogCapture log;
        auto m = load_file(type, bytes, "clip");
        ASSERT_EQ(m->get_num_animations(), 1);
        EXPECT_TRUE(log.has(16, "animation clip contains multiple animations (2)")) << log.dump();
        const aiAnimation* a = m->get_clip_animation(0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a, m->get_description(0)->scene->mAnimations[c.chosen]);
        EXPECT_NEAR(a->mTicksPerSecond, 24.0, 1e-6);  // mended
        EXPECT_EQ(m->get_clip_animation(1), nullptr);
        Reference ref(bytes, c.chosen);
        compare_poses(*m, 0, ref, std::string("multi_") + c.label);
    }
}

// Descriptor keys sit one tick after their index: poses read them by time, between keys as well;
// scaling keys that no frame filled are 1.
TEST(RealFiles, DescriptorPosesFollowTheKeyTimes) {
    SkeletonType type("desc");
    std::vector<libtest::Frame> spine, arm;
    std::vector<aiQuatKey> rotations;
    std::vector<aiVectorKey> positions;
    for (int k = 0; k <= 30; ++k) {
        const float angle = 0.01f * k * k;
        spine.push_back({{0, 0.5f, 0}, {0, 0, std::sin(angle / 2), std::cos(angle / 2)}});
        arm.push_back({{0.3f, 0.002f * k * k, 0}, {0, 0, 0, 1}});
        rotations.push_back({k + 1.0, aiQuaternion(Z, angle)});
        positions.push_back({k + 1.0, aiVector3D(0.3f, 0.002f * k * k, 0)});
    }
    type.clip("bend.lua", libtest::clip_descriptor(30, 30, {{"spine", spine}, {"arm", arm}}));
    // Five keys, two frames.
    type.clip("short.lua", libtest::clip_descriptor(30, 4, {{"arm", {arm[0], arm[1]}}}));
    auto m = type.load();
    ASSERT_EQ(m->get_num_animations(), 2);
    const int bend = m->get_animation_index("bend"), spine_id = m->get_node_id("spine"), arm_id = m->get_node_id("arm");
    const aiMatrix4x4 root = m->get_node_transform("desc");
    Worst worst;
    for (float tick : {0.5f, 1.0f, 1.25f, 2.5f, 7.75f, 15.5f, 22.0f, 29.9f}) {
        SCOPED_TRACE(tick);
        std::vector<aiMatrix4x4> world;
        std::vector<osg::Vec3f> bones;
        m->get_pose(bend, tick / 30.0f, world, false, bones);
        aiMatrix4x4 spine_local(by_time(rotations.data(), 31, tick).GetMatrix());
        spine_local.b4 = 0.5f;
        worst.add(to_Matrixf(world[spine_id]), root * spine_local, 1.75);
        const aiVector3D a = by_time(positions.data(), 31, tick);
        EXPECT_NEAR(world[arm_id].b4, root.b4 + a.y, 1e-5);
    }
    worst.record("descriptor");
    EXPECT_LT(worst.angle, 0.01);
    EXPECT_LT(worst.distance, 1e-5);

    const int s = m->get_animation_index("short");
    EXPECT_NEAR(scale_of(m->sample_animation(arm_id, s, 3.0f / 30, false)), 1.0f, 1e-6);
    std::vector<aiMatrix4x4> world;
    std::vector<osg::Vec3f> bones;
    m->get_pose(s, 3.0f / 30, world, false, bones);
    EXPECT_NEAR(scale_of(to_Matrixf(world[arm_id])), 1.0f, 1e-6);
}

// The shared sample characters, loaded with their top bone as the root: poses in model space (root
// motion included) are assimp's evaluation of the files.
TEST(RealFiles, SharedCharactersPoseAsTheFilesSay) {
    if (!test::shared_assets_present()) GTEST_SKIP() << "shared assets are absent";
    for (const auto& [file, skeleton, clip] : {std::tuple{"CesiumMan/CesiumMan.assbin", ".anim", "walk.assbin"},
                                               {"CesiumMan/CesiumMan.fbx", ".fbx", "walk.fbx"}}) {
        SCOPED_TRACE(file);
        const std::string text = test::read_text(test::shared_assets_dir() + "/" + file);
        const std::vector<char> bytes(text.begin(), text.end());
        SkeletonType type("Skeleton_torso_joint_1", false);
        type.write(type.name + skeleton, bytes);
        type.clip(clip, bytes);
        test::LogCapture log;
        auto m = type.load();
        ASSERT_EQ(m->get_num_animations(), 1) << log.dump();
        ASSERT_GE(m->get_root_node_id(), 0);
        Reference ref(bytes);
        compare_poses(*m, 0, ref, std::string("asset_") + file);
    }
}
