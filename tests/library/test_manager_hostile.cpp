// Hostile and broken data files: deep skeletons, descriptors that raise errors in reads, loop, allocate
// without end, reach for the system or come precompiled. Each is skipped with a message and the rest of
// the type loads.
#include <gtest/gtest.h>

#include <string>

#include "tests/library/LibraryTestUtil.h"

namespace {

using namespace libtest;

// A chain of `depth` bones under the type's root node, each one unit above its parent.
std::string chain_skeleton(const std::string& type, int depth) {
    std::string s = "local node = { m = " + translation_m(0, 1, 0) + " }\n";
    s += "for i = " + std::to_string(depth) + ", 1, -1 do node = { m = " + translation_m(0, 1, 0) +
         ", children = { ['bone' .. i] = node } } end\n";
    return s + "skeleton = { [\"" + type + "\"] = node }\n";
}

TEST(ManagerHostileFiles, ASkeletonAThousandLevelsDeepLoads) {
    SkeletonType type("deep", false);
    type.write("deep.skel", chain_skeleton("deep", 1000));
    type.clip("idle.lua");
    test::LogCapture log;
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded()) << log.dump();
    EXPECT_EQ(m->get_num_nodes(), 1002) << "scene root, type root and a thousand bones";
    EXPECT_EQ(m->get_longest_path(), 1002);
    EXPECT_GE(m->get_node_id("bone1000"), 0);
}

TEST(ManagerHostileFiles, EachBadDescriptorIsSkippedWithAMessageAndTheRestLoads) {
    SkeletonType type("hostile");
    type.clip("good.lua");
    const struct {
        const char* file;
        std::string text;
        const char* message;
    } cases[] = {
        // The strict-table idiom: reading a field the table lacks raises.
        {"strict.lua",
         "orn_character_animation = setmetatable({ rate = 30, animation = {} },"
         " { __index = function(t, k) error('undeclared ' .. k) end })",
         "undeclared duration"},
        // Left on the globals, this would also break every descriptor that runs after it.
        {"strict_globals.lua",
         "setmetatable(_G, { __index = function(t, k) error('no global ' .. k) end,"
         " __newindex = function() error('read only') end })",
         "no global"},
        {"loop.lua", "while true do end", "descriptor 'loop.lua' exceeded"},
        {"hog.lua", "local s = 'x' while true do s = s .. s end", "descriptor 'hog.lua' exceeded"},
        {"system.lua", "os.execute('touch /tmp/animator_hostile_marker')", "system.lua"},
        {"compiled.lua", std::string("\033Lua\x51\x00\x01\x04\x08\x04\x08\x00", 12) + std::string(28, '\x7f'),
         "precompiled"},
    };
    for (const auto& c : cases) type.clip(c.file, c.text);
    test::LogCapture log;
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded()) << log.dump();
    EXPECT_EQ(m->get_num_animations(), 1) << log.dump();
    EXPECT_NE(m->get_animation_index("good"), Animator::INVALID_CLIP);
    for (const auto& c : cases) EXPECT_TRUE(log.has(c.message)) << c.file << "\n" << log.dump();
}

TEST(ManagerHostileFiles, ErrorsInBlendSpaceOverrideAndGraphReadsSkipTheirFile) {
    SkeletonType type("strict");
    type.clip("idle.lua");
    const std::string strict = "setmetatable({ type = 'animation' }, { __index = function(t, k) error('strict ' .. k) end })";
    type.write("strict/blend_space/bad.lua", "return " + strict);
    type.write("strict/override/bad.lua", "return " + strict);
    type.write("strict/graph/bad.lua", "anim_states = { idle = " + strict + " }");
    test::LogCapture log;
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded()) << log.dump();
    EXPECT_EQ(m->get_num_blend_spaces(), 0);
    EXPECT_TRUE(m->get_overrides().empty());
    EXPECT_TRUE(log.has("can not load blendspace") && log.has("can not load override") &&
                log.has("can not load graph"))
        << log.dump();
}

}  // namespace

namespace {

// A clip at 25 ticks per second with `ticks` ticks, whose one track holds a single frame.
std::string long_descriptor(int ticks) {
    return "orn_character_animation = { rate = 25, duration = " + std::to_string(ticks) +
           ", animation = { bone1 = { { t = {0, 1, 0}, r = {0, 0, 0, 1} } } } }";
}

TEST(ManagerHostileFiles, LongClipsAreRefusedAndPackedFramesKeepTheirBudget) {
    SkeletonType type("long", false);
    type.write("long.skel", chain_skeleton("long", 60));  // 62 nodes: 30,000 ticks pack into 59.5 MB
    type.clip("a.lua", long_descriptor(29999));
    type.clip("b.lua", long_descriptor(29999));
    type.clip("c.lua", long_descriptor(29999));
    type.clip("huge.lua", "orn_character_animation = { duration = 1048575, animation = { bone1 = {} } }");
    type.clip("far_key.assbin",
              assbin_clip(10, 25, {make_channel("bone1", {aiVectorKey(0, aiVector3D()), aiVectorKey(999999, aiVector3D())},
                                                {aiQuatKey(0, aiQuaternion())})}));
    test::LogCapture log;
    auto m = type.load();
    ASSERT_TRUE(m->is_loaded()) << log.dump();
    EXPECT_EQ(m->get_num_animations(), 2) << log.dump();
    EXPECT_NE(m->get_animation_index("b"), Animator::INVALID_CLIP);
    EXPECT_TRUE(log.has("animation c left out")) << log.dump();
    EXPECT_TRUE(log.has("clip duration 1048575 is too long") && log.has("error loading animation huge.lua"))
        << log.dump();
    EXPECT_TRUE(log.has("animation far_key.assbin is longer than 20 minutes")) << log.dump();
}

}  // namespace

namespace {

TEST(ManagerHostileFiles, AThrowOutOfInitLeavesNoTaskRunningOnTheManager) {
    SkeletonType type("throwing", false);
    type.write("throwing.skel", chain_skeleton("throwing", 60));
    for (const char* clip : {"a.lua", "b.lua"}) type.clip(clip, long_descriptor(20000));  // slow to pack
    type.write("throwing/graph/graph.lua", "transitions = { { source = 'a', target = 'nowhere' } }");
    test::LogCapture log;
    auto m = std::make_unique<Animator::AnimationManager>("throwing");
    EXPECT_THROW(m->init(), std::out_of_range) << "a transition naming an unknown state throws";
    m.reset();  // the GPU packing must not be running on the destroyed manager
}

}  // namespace
