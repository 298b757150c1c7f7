// Skeleton types: registry, skeleton forms, node table, clip discovery, sorting and bad input.
#include <cfloat>

#include <gtest/gtest.h>

#include "host/Graphics.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::SkeletonType;

namespace {

aiScene* skeleton_scene(const std::vector<std::string>& bones) {
    aiScene* s = new aiScene();
    s->mRootNode = new aiNode("file_root");
    s->mRootNode->mNumChildren = static_cast<unsigned>(bones.size());
    s->mRootNode->mChildren = new aiNode*[bones.size()];
    for (size_t i = 0; i < bones.size(); ++i) {
        s->mRootNode->mChildren[i] = new aiNode(bones[i]);
        s->mRootNode->mChildren[i]->mParent = s->mRootNode;
    }
    return s;
}

}  // namespace

TEST(ManagerSkeleton, LuaSkeletonNodeIdsPathsAndTransforms) {
    SkeletonType type("lskel");
    type.clip("still.lua", libtest::clip_descriptor(30, 2, {{"lskel", libtest::walk_frames(3, 0.0f)}}));
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded());
    EXPECT_EQ(m->get_num_nodes(), 5);
    EXPECT_EQ(m->get_node_id("scene_rooot"), 0);
    EXPECT_EQ(m->get_root_node_id(), m->get_node_id("lskel"));
    EXPECT_EQ(m->get_skeleton_file_name(), "lskel.skel");
    const int root = m->get_node_id("lskel"), spine = m->get_node_id("spine"), head = m->get_node_id("head");
    EXPECT_EQ(root, 1);
    EXPECT_EQ(m->get_node_paths()[head], (std::vector<uint32_t>{uint32_t(head), uint32_t(spine), 1u, 0u}));
    EXPECT_EQ(m->get_longest_path(), 4);
    // Pre-order: a child follows its parent directly or after a sibling subtree.
    EXPECT_EQ(head, spine + 1);
    const aiMatrix4x4 t = m->get_node_transform("spine");
    EXPECT_FLOAT_EQ(t.b4, 0.5f);
    EXPECT_FLOAT_EQ(t.d4, 1.0f);
    EXPECT_EQ(m->get_node_id("no such bone"), -1);
    const aiMatrix4x4 none = m->get_node_transform("no such bone");
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(none[r][c], FLT_MAX);
}

TEST(ManagerSkeleton, RootNodeFallsBackToRootBone) {
    SkeletonType type("rootfall", false);
    type.write("rootfall.skel", "skeleton = { root = { children = { leg = {} } } }");
    type.clip("a.lua", libtest::clip_descriptor(30, 1, {{"leg", libtest::walk_frames(2, 0.1f)}}));
    auto m = type.load();
    EXPECT_EQ(m->get_root_node_id(), m->get_node_id("root"));
    EXPECT_EQ(m->get_root_node_id(), 1);
}

TEST(ManagerSkeleton, AnimFileIsPreferredOverFbx) {
    SkeletonType type("animfirst", false);
    type.write("animfirst.anim", libtest::to_assbin(skeleton_scene({"from_anim"})));
    type.write("animfirst.fbx", libtest::to_assbin(skeleton_scene({"from_fbx"})));
    type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded());
    EXPECT_GE(m->get_node_id("from_anim"), 1);
    EXPECT_EQ(m->get_node_id("from_fbx"), -1);
    EXPECT_TRUE(m->get_skeleton_file_name().empty());
}

TEST(ManagerSkeleton, BrokenSkeletonsAreReported) {
    {
        test::LogCapture log;
        SkeletonType type("noskel", false);
        type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
        auto m = type.load();
        EXPECT_FALSE(m->is_loaded());
        EXPECT_TRUE(log.has(8, "can not read '/animations/noskel.skel'")) << log.dump();
        EXPECT_EQ(m->get_num_animations(), 0);
        EXPECT_EQ(m->get_animation_duration(0), 0.0f);
    }
    {
        test::LogCapture log;
        SkeletonType type("badlua", false);
        type.write("badlua.skel", "skeleton = { this is not lua");
        type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
        auto m = type.load();
        EXPECT_FALSE(m->is_loaded());
        EXPECT_TRUE(log.has(8, "can not parse '/animations/badlua.skel'")) << log.dump();
    }
    {
        test::LogCapture log;
        SkeletonType type("notable", false);
        type.write("notable.skel", "bones = {}");
        type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
        auto m = type.load();
        EXPECT_TRUE(m->is_loaded());
        EXPECT_TRUE(log.has(8, "can not open skeleton table")) << log.dump();
        EXPECT_EQ(m->get_num_nodes(), 1);
        EXPECT_EQ(m->get_root_node_id(), -1);
    }
    {
        // A skeleton assimp can not import: clip files already read and imported meanwhile are
        // dropped without a word of their own.
        test::LogCapture log;
        SkeletonType type("junkskel", false);
        type.write("junkskel.anim", "not a scene");
        type.clip("a.assbin", libtest::to_assbin(skeleton_scene({"a"})));
        type.clip("b.fbx", "not an fbx file either");
        auto m = type.load();
        EXPECT_FALSE(m->is_loaded());
        EXPECT_TRUE(log.has(8, "error loading /animations/junkskel.anim")) << log.dump();
        EXPECT_FALSE(log.has("error loading animation")) << log.dump();
        EXPECT_EQ(m->get_num_animations(), 0);
    }
    {
        // The file's extension only speeds up the import: a skeleton of another format than its
        // name says is still read.
        SkeletonType type("misnamed", false);
        type.write("misnamed.fbx", libtest::to_assbin(skeleton_scene({"misnamed", "leg"})));
        type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
        auto m = type.load();
        ASSERT_TRUE(m->is_loaded());
        EXPECT_EQ(m->get_root_node_id(), m->get_node_id("misnamed"));
        EXPECT_GE(m->get_node_id("leg"), 1);
    }
    {
        // An empty clip directory loads nothing and says nothing.
        test::LogCapture log;
        SkeletonType type("noclips");
        auto m = type.load();
        EXPECT_FALSE(m->is_loaded());
        EXPECT_EQ(m->get_num_nodes(), 0);
    }
}

TEST(ManagerClips, SortedIndicesAndDefaultAnimation) {
    SkeletonType type("sorted");
    const std::string clip = libtest::clip_descriptor(30, 3, {{"sorted", libtest::walk_frames(4, 0.1f)}});
    type.clip("b.lua", clip);
    type.clip("A.LUA", clip);
    type.clip("idle.lua", clip);  // a descriptor does not make the default animation
    type.clip("notes.txt", "not a clip");
    aiAnimation* idle = libtest::make_animation(
        3, 30, {libtest::make_channel("sorted", {{0, {0, 1, 0}}}, {{0, aiQuaternion()}})});
    type.clip("Zidle.assbin", libtest::to_assbin(libtest::make_scene(idle)));
    auto m = type.load();
    ASSERT_EQ(m->get_num_animations(), 4);
    const std::vector<const char*> names = m->get_animation_names();
    EXPECT_STREQ(names[0], "a");
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(names[2], "idle");
    EXPECT_STREQ(names[3], "zidle");
    EXPECT_EQ(m->get_animation_index("A"), 0);
    EXPECT_EQ(m->get_animation_index("b"), 1);
    std::string name;
    EXPECT_EQ(m->get_default_animation_index(name), 0);
    EXPECT_EQ(name, "idle");
    EXPECT_EQ(m->get_animation(1, name), m->get_description(1)->scene);
    EXPECT_EQ(name, "b");
    EXPECT_FLOAT_EQ(m->get_animation_duration(0), 0.1f);

    test::LogCapture log;
    EXPECT_EQ(m->get_animation_index("missing"), INVALID_CLIP);
    EXPECT_TRUE(log.has(8, "animation 'missing' not found"));
    EXPECT_EQ(m->get_animation_duration("missing"), 0.0f);
    EXPECT_EQ(m->get_animation_duration(65535), 0.0f);
    EXPECT_EQ(m->get_description(65535), nullptr);
    EXPECT_EQ(m->get_animation(-1, name), nullptr);
}

TEST(ManagerClips, DefaultAnimationFromFile) {
    SkeletonType type("deffile");
    const std::string clip = libtest::clip_descriptor(30, 1, {});
    for (const char* f : {"a.lua", "b.lua", "c.lua", "zz.lua"}) type.clip(f, clip);
    aiAnimation* idle = libtest::make_animation(1, 30, {});
    type.clip("idle.assbin", libtest::to_assbin(libtest::make_scene(idle)));
    auto m = type.load();
    std::string name;
    EXPECT_EQ(m->get_default_animation_index(name), 3);
}

TEST(ManagerClips, BadClipFilesAndDescriptors) {
    test::LogCapture log;
    SkeletonType type("badclips");
    type.clip("broken.fbx", "this is not an fbx file at all");
    type.clip("broken.lua", "orn_character_animation = {");
    type.clip("noglobal.lua", "something = 1");
    // Frame 2 lacks "t", frame 3 lacks "r"; five frames for three keys; a bone the skeleton lacks;
    // a node name of 1024 bytes.
    type.clip("partial.lua",
              "orn_character_animation = { rate = 30, duration = 2, animation = {\n"
              "  badclips = { { t = {1, 1, 1}, r = {0, 0, 0, 1} }, { r = {0, 0, 0, 1} }, { t = {3, 1, 3} },"
              "               { t = {4, 4, 4}, r = {0, 0, 0, 1} }, { t = {5, 5, 5}, r = {0, 0, 0, 1} } },\n"
              "  ghost = { { t = {1, 1, 1}, r = {0, 0, 0, 1} } },\n"
              "  [string.rep('x', 1024)] = { { t = {1, 1, 1} } },\n"
              "} }\n");
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded());
    EXPECT_TRUE(log.has(8, "error loading animation broken.fbx")) << log.dump();
    EXPECT_FALSE(log.has("ghost"));
    ASSERT_EQ(m->get_num_animations(), 1);
    const auto* d = m->get_description(0);
    const aiNodeAnim* ch = d->channels[m->get_node_id("badclips")];
    ASSERT_NE(ch, nullptr);
    ASSERT_EQ(ch->mNumPositionKeys, 3u);
    EXPECT_FLOAT_EQ(ch->mPositionKeys[0].mValue.x, 0.0f);  // root motion moved x into the samples
    EXPECT_FLOAT_EQ(d->root_motion[0].position[0], 1.0f);
    EXPECT_FLOAT_EQ(d->root_motion[1].position[0], 0.0f);  // frame 2 had no "t": default key
    EXPECT_FLOAT_EQ(d->root_motion[2].position[0], 3.0f);
    EXPECT_DOUBLE_EQ(ch->mRotationKeys[2].mTime, 0.0);  // frame 3 had no "r"
}

TEST(ManagerClips, NonAsciiNodeNamesAreReported) {
    test::LogCapture log;
    SkeletonType type("ascii");
    type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
    auto m = type.load();
    aiAnimation* anim = libtest::make_animation(
        1, 30, {libtest::make_channel("b\xc3\xa9n", {{0, {0, 0, 0}}}, {{0, aiQuaternion()}})});
    m->load_animation(libtest::make_scene(anim), "accent", {});
    EXPECT_EQ(log.count(8, "Non-ASCII sybmol"), 2u) << log.dump();
    EXPECT_TRUE(log.has(8, "in file 'accent'"));
    EXPECT_TRUE(log.has(8, "node 'b\xc3\xa9n' not found in skeleton"));
    EXPECT_TRUE(log.has(16, "validate_animation: node"));
}

TEST(ManagerRegistry, UnknownTypesAndRendererReset) {
    destroy_animation_managers();
    SkeletonType type("registered");
    type.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
    AnimationManager& m = get_animation_manager("registered");
    EXPECT_TRUE(m.is_loaded());
    EXPECT_STREQ(m.get_root_node_name(), "registered");
    EXPECT_EQ(find_animation_manager("registered"), &m);

    test::LogCapture log;
    AnimationManager& none = get_animation_manager("no_such_type");
    EXPECT_TRUE(log.has(8, "animation manager 'no_such_type' not found"));
    EXPECT_FALSE(none.is_loaded());
    EXPECT_STREQ(none.get_root_node_name(), "");
    EXPECT_EQ(none.get_num_nodes(), 0);
    EXPECT_EQ(none.get_animation_duration(0), 0.0f);
    EXPECT_TRUE(none.sample_animation(0, 0, 1.0f, true).isIdentity());
    EXPECT_EQ(find_animation_manager("no_such_type"), nullptr);
    EXPECT_EQ(find_animation_manager(""), nullptr);
    EXPECT_EQ(find_animation_manager(".."), nullptr);

    // A type mounted after the registry was filled joins it on its first request.
    SkeletonType later("mounted_later");
    later.clip("a.lua", libtest::clip_descriptor(30, 1, {}));
    ASSERT_NE(find_animation_manager("mounted_later"), nullptr);
    EXPECT_TRUE(find_animation_manager("mounted_later")->is_loaded());
    EXPECT_EQ(find_animation_manager("registered"), &m);

    // Event 1 empties the registry: without the mount the type is gone.
    Graphics::raiseRendererEvent(1);
    type.mount.reset();
    EXPECT_EQ(find_animation_manager("registered"), nullptr);
    destroy_animation_managers();
}
