// Skeleton types: registry, skeleton forms, node table, clip discovery, sorting and bad input.
#include <cfloat>

#include <gtest/gtest.h>

#include "host/Graphics.h"
#include "tests/library/LibraryTestUtil.h"

using namespace Animator;
using libtest::SkeletonType;
using libtest::Walker;

namespace {

// An assbin scene whose root holds the given bones, as file text.
std::string skeleton_file(const std::vector<std::string>& bones) {
    aiScene* s = new aiScene();
    s->mRootNode = new aiNode("file_root");
    std::vector<aiNode*> children;
    for (const std::string& bone : bones) children.push_back(new aiNode(bone));
    s->mRootNode->addChildren(unsigned(children.size()), children.data());
    const std::vector<char> data = libtest::to_assbin(s);
    return std::string(data.begin(), data.end());
}

}  // namespace

// The standard Lua skeleton of the shared type.
TEST_F(Walker, LuaSkeletonNodeIdsPathsAndTransforms) {
    EXPECT_EQ(m->get_num_nodes(), 5);
    EXPECT_EQ(m->get_node_id("scene_rooot"), 0);
    EXPECT_EQ(m->get_root_node_id(), m->get_node_id("walker"));
    EXPECT_EQ(m->get_skeleton_file_name(), "walker.skel");
    const int spine = m->get_node_id("spine"), head = m->get_node_id("head");
    EXPECT_EQ(m->get_node_paths()[head], (std::vector<uint32_t>{uint32_t(head), uint32_t(spine), 1u, 0u}));
    EXPECT_EQ(m->get_longest_path(), 4);
    EXPECT_EQ(head, spine + 1);  // pre-order: a child follows its parent directly or after a sibling subtree
    const aiMatrix4x4 t = m->get_node_transform("spine");
    EXPECT_FLOAT_EQ(t.b4, 0.5f);
    EXPECT_FLOAT_EQ(t.d4, 1.0f);
    EXPECT_EQ(m->get_node_id("no such bone"), -1);
    const aiMatrix4x4 none = m->get_node_transform("no such bone");
    for (int i = 0; i < 16; ++i) EXPECT_EQ(none[i / 4][i % 4], FLT_MAX);
}

// Skeleton files in every form, the broken ones with their error. The root is the bone named after the
// type, else "root", else none (-1).
TEST(ManagerSkeleton, FormsAndFailures) {
    struct Case {
        const char* type;
        std::vector<std::pair<std::string, std::string>> files;  // relative to the animations root
        bool loaded;
        const char* error;  // logged as an error; null: no error at all
        int root, nodes;
        const char* present;
    };
    const std::string clip = libtest::clip_descriptor(30, 1, {});
    const Case cases[] = {
        {"rootfall", {{"rootfall.skel", "skeleton = { root = { children = { leg = {} } } }"}, {"rootfall/a.lua", clip}},
         true, nullptr, 1, 3, "leg"},
        // The .anim file comes before the .fbx one.
        {"animfirst",
         {{"animfirst.anim", skeleton_file({"from_anim"})}, {"animfirst.fbx", skeleton_file({"from_fbx"})},
          {"animfirst/a.lua", clip}},
         true, nullptr, -1, 2, "from_anim"},
        // The extension only speeds up the import: a skeleton of another format than its name says is read.
        {"misnamed", {{"misnamed.fbx", skeleton_file({"misnamed", "leg"})}, {"misnamed/a.lua", clip}}, true, nullptr,
         1, 3, "leg"},
        {"noskel", {{"noskel/a.lua", clip}}, false, "can not read '/animations/noskel.skel'", -1, 0, nullptr},
        {"badlua", {{"badlua.skel", "skeleton = { this is not lua"}, {"badlua/a.lua", clip}}, false,
         "can not parse '/animations/badlua.skel'", -1, 0, nullptr},
        {"notable", {{"notable.skel", "bones = {}"}, {"notable/a.lua", clip}}, true, "can not open skeleton table", -1,
         1, nullptr},
        // Clip files read and imported while the skeleton failed are dropped without a word of their own.
        {"junkskel",
         {{"junkskel.anim", "not a scene"}, {"junkskel/a.assbin", skeleton_file({"a"})},
          {"junkskel/b.fbx", "not an fbx file either"}},
         false, "error loading /animations/junkskel.anim", -1, 0, nullptr},
        // An empty clip directory loads nothing and says nothing.
        {"noclips", {{"noclips.skel", libtest::standard_skeleton("noclips")}}, false, nullptr, -1, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        test::LogCapture log;
        SkeletonType type(c.type, false);
        for (const auto& [file, text] : c.files) type.write(file, text);
        auto m = type.load();
        EXPECT_EQ(m->is_loaded(), c.loaded) << log.dump();
        EXPECT_TRUE(c.error ? log.has(8, c.error) : log.count(8, "") == 0) << log.dump();
        EXPECT_FALSE(log.has("error loading animation")) << log.dump();
        EXPECT_EQ(m->get_root_node_id(), c.root);
        EXPECT_EQ(m->get_num_nodes(), c.nodes);
        EXPECT_TRUE(!c.present || m->get_node_id(c.present) >= 1);
        // Only a Lua skeleton has a file name; a type that did not load has no clips.
        const bool lua_skeleton = c.files[0].first.find(".skel") != std::string::npos;
        EXPECT_TRUE(!c.loaded || m->get_skeleton_file_name().empty() != lua_skeleton);
        EXPECT_TRUE(c.loaded || (m->get_num_animations() == 0 && m->get_animation_duration(0) == 0.0f));
    }
}

// Clips are sorted by lower-case name; the default animation is the first file clip named "idle".
TEST(ManagerClips, SortedIndicesAndDefaultAnimation) {
    SkeletonType type("sorted");
    const std::string clip = libtest::clip_descriptor(30, 3, {{"sorted", libtest::walk_frames(4, 0.1f)}});
    for (const char* file : {"b.lua", "A.LUA", "idle.lua"}) type.clip(file, clip);
    type.clip("notes.txt", "not a clip");
    type.clip("Zidle.assbin", libtest::assbin_clip(3, 30, {}));
    auto m = type.load();
    ASSERT_EQ(m->get_num_animations(), 4);
    const std::vector<const char*> names = m->get_animation_names();
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()),
              (std::vector<std::string>{"a", "b", "idle", "zidle"}));
    EXPECT_EQ(m->get_animation_index("A"), 0);
    EXPECT_EQ(m->get_animation_index("b"), 1);
    std::string name;
    EXPECT_EQ(m->get_default_animation_index(name), 0);  // "idle" is only a descriptor here
    EXPECT_EQ(name, "idle");
    EXPECT_EQ(m->get_animation(1, name), m->get_description(1)->scene.get());
    EXPECT_EQ(name, "b");
    EXPECT_FLOAT_EQ(m->get_animation_duration(0), 0.1f);

    test::LogCapture log;
    EXPECT_EQ(m->get_animation_index("missing"), INVALID_CLIP);
    EXPECT_TRUE(log.has(8, "animation 'missing' not found"));
    EXPECT_EQ(m->get_animation_duration("missing"), 0.0f);
    EXPECT_TRUE(m->get_animation_duration(65535) == 0.0f && !m->get_description(65535) && !m->get_animation(-1, name));

    SkeletonType file_idle("deffile");
    for (const char* file : {"a.lua", "b.lua", "c.lua", "zz.lua"}) file_idle.clip(file);
    file_idle.clip("idle.assbin", libtest::assbin_clip(1, 30, {}));
    EXPECT_EQ(file_idle.load()->get_default_animation_index(name), 3);
}

TEST(ManagerClips, BadClipFilesDescriptorsAndNodeNames) {
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

    // Node names outside ASCII.
    m->load_animation(ScenePtr(libtest::make_scene(libtest::make_animation(
                          1, 30, {libtest::make_channel("b\xc3\xa9n", {{0, {0, 0, 0}}}, {{0, aiQuaternion()}})}))),
                      "accent", {});
    EXPECT_EQ(log.count(8, "Non-ASCII sybmol"), 2u) << log.dump();
    EXPECT_TRUE(log.has(8, "in file 'accent'"));
    EXPECT_TRUE(log.has(8, "node 'b\xc3\xa9n' not found in skeleton"));
    EXPECT_TRUE(log.has(16, "validate_animation: node"));
}

TEST(ManagerRegistry, UnknownTypesAndRendererReset) {
    destroy_animation_managers();
    SkeletonType type("registered");
    type.clip("a.lua");
    AnimationManager& m = get_animation_manager("registered");
    EXPECT_TRUE(m.is_loaded());
    EXPECT_EQ(find_animation_manager("registered"), &m);

    test::LogCapture log;
    AnimationManager& none = get_animation_manager("no_such_type");
    EXPECT_TRUE(log.has(8, "animation manager 'no_such_type' not found"));
    EXPECT_FALSE(none.is_loaded());
    EXPECT_STREQ(none.get_root_node_name(), "");
    EXPECT_EQ(none.get_num_nodes(), 0);
    EXPECT_EQ(none.get_animation_duration(0), 0.0f);
    EXPECT_TRUE(none.sample_animation(0, 0, 1.0f, true).isIdentity());
    for (const char* missing : {"no_such_type", "", ".."}) EXPECT_EQ(find_animation_manager(missing), nullptr);

    // A type mounted after the registry was filled joins it on its first request.
    SkeletonType later("mounted_later");
    later.clip("a.lua");
    ASSERT_NE(find_animation_manager("mounted_later"), nullptr);
    EXPECT_TRUE(find_animation_manager("mounted_later")->is_loaded());
    EXPECT_EQ(find_animation_manager("registered"), &m);

    // Event 1 empties the registry: without the mount the type is gone.
    Graphics::raiseRendererEvent(1);
    type.mount.reset();
    EXPECT_EQ(find_animation_manager("registered"), nullptr);
    destroy_animation_managers();
}
