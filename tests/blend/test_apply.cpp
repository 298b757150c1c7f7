// Applying playable entries to a real character: the record each entry writes onto the cookie's stack.
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "animator/blend/Animation.h"
#include "animator/blend/PropertyHolderImpl.h"
#include "host/LuaConfig.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

TransitionParams with_duration(float d) {
    TransitionParams p;
    p.transition_duration = d;
    return p;
}

// An entry read from a Lua descriptor text, loaded against the sample library.
std::unique_ptr<Animation> entry_from(const char* text) {
    lua_State* L = ORN_lua_open("test_apply");
    Lua::Config cfg(L);
    std::unique_ptr<Animation> a;
    if (cfg.load_buffer(text, std::strlen(text), "entry")) {
        a = std::make_unique<Animation>();
        a->load(cfg, &test::biped_manager());
    }
    ORN_lua_close(L);
    return a;
}

class ApplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = &test::biped_manager();
        character = test::new_character();
        character->clear_data();
    }

    test::ManualClock clock{0.0};
    AnimationManager* manager = nullptr;
    std::unique_ptr<CharacterModelCookie> character;
    PropertyHolderImpl props;
};

TEST_F(ApplyTest, ClipEntryWritesTimingAndPushesTheRecord) {
    const Animation& walk_start = manager->get_blend_space("walk_start");
    ASSERT_TRUE(walk_start.is_playable());
    props.set_property("num_cycles", 2.0f);
    TransitionParams p = with_duration(0.25f);
    p.animation_start_shift = 0.5f;
    ShaderBlendSpace2D out;
    const float d = walk_start.apply(3.0f, character.get(), &props, p, out);

    const float clip_length = manager->get_animation_duration("walk_start");
    EXPECT_FLOAT_EQ(d, clip_length);
    EXPECT_EQ(out.kind, BS_RECORD_CLIP);
    EXPECT_FLOAT_EQ(out.samples[0].clip, manager->get_animation_index("walk_start"));
    EXPECT_FLOAT_EQ(out.start_time, 3.5f);
    EXPECT_FLOAT_EQ(out.blend_start, 3.0f);
    EXPECT_FLOAT_EQ(out.blend_duration, 0.25f);
    EXPECT_FLOAT_EQ(out.cycle_duration, clip_length);
    EXPECT_FLOAT_EQ(out.play_length, 2.0f * clip_length);
    EXPECT_EQ(out.blend_space_id, walk_start.get_id());

    ASSERT_EQ(character->get_stack_size(), 1);
    const ShaderBlendSpace2D& top = character->get_current_blend_space(10.0f);
    EXPECT_EQ(std::memcmp(&top, &out, sizeof(out)), 0);
}

TEST_F(ApplyTest, MissingTransitionDurationThrowsAndLeavesTheStackAlone) {
    const Animation& walk_start = manager->get_blend_space("walk_start");
    ShaderBlendSpace2D out;
    EXPECT_THROW(walk_start.apply(1.0f, character.get(), &props, TransitionParams(), out), std::bad_optional_access);
    EXPECT_EQ(character->get_stack_size(), 0);

    const ShaderBlendSpace2D first = [&] {
        ShaderBlendSpace2D r;
        walk_start.apply(0.0f, character.get(), &props, with_duration(0.0f), r);
        return r;
    }();
    TransitionParams p;
    p.loop = true;
    p.animation_start_shift = 1.0f;
    EXPECT_THROW(walk_start.apply(2.0f, character.get(), &props, p, out), std::bad_optional_access);
    ASSERT_EQ(character->get_stack_size(), 1);
    EXPECT_EQ(std::memcmp(&character->get_current_blend_space(5.0f), &first, sizeof(first)), 0);
}

TEST_F(ApplyTest, LoopFlagAndRangeFollowTheTransition) {
    test::LogCapture quiet;
    auto idle = entry_from("return { type = 'animation', name = 'idle', loop = true, loop_params = { 15, 45 } }");
    ASSERT_TRUE(idle && idle->is_playable());
    ShaderBlendSpace2D out;

    // loop given, range absent: the entry's own range stays.
    TransitionParams p = with_duration(0.0f);
    p.loop = false;
    idle->apply(0.0f, character.get(), &props, p, out);
    EXPECT_FLOAT_EQ(out.start_time, 0.0f);  // no start shift: the time of the call
    EXPECT_FLOAT_EQ(out.loop, 0.0f);
    EXPECT_FLOAT_EQ(out.loop_start, 0.5f);
    EXPECT_FLOAT_EQ(out.loop_end, 1.5f);

    // loop given with a range: the transition's range.
    p.loop = true;
    p.loop_range = osg::Vec2f(0.2f, 0.8f);
    idle->apply(1.0f, character.get(), &props, p, out);
    EXPECT_FLOAT_EQ(out.loop, 1.0f);
    EXPECT_FLOAT_EQ(out.loop_start, 0.2f);
    EXPECT_FLOAT_EQ(out.loop_end, 0.8f);

    // loop absent: a range alone is ignored, the entry's flag and range hold.
    p.loop.reset();
    idle->apply(2.0f, character.get(), &props, p, out);
    EXPECT_FLOAT_EQ(out.loop, 1.0f);
    EXPECT_FLOAT_EQ(out.loop_start, 0.5f);
    EXPECT_FLOAT_EQ(out.loop_end, 1.5f);
}

TEST_F(ApplyTest, BlendSpacesResetTheRangeAndAlignTheirCycle) {
    const Animation& walk = manager->get_blend_space("walk");
    ASSERT_EQ(walk.get_type(), BS_1D);
    props.set_property("speed", 1.5f);
    TransitionParams p = with_duration(0.2f);
    p.loop = !walk.get_loop();  // a blend space keeps its own flag
    p.loop_range = osg::Vec2f(0.1f, 0.4f);
    p.animation_start_shift = 0.3f;
    ShaderBlendSpace2D out;
    const float d = walk.apply(2.0f, character.get(), &props, p, out);

    EXPECT_EQ(out.kind, BS_RECORD_2D);
    EXPECT_FLOAT_EQ(out.weight_x, 0.5f);
    EXPECT_FLOAT_EQ(out.weight_y, 0.0f);
    EXPECT_FLOAT_EQ(out.samples[2].clip, 0.0f);
    EXPECT_FLOAT_EQ(out.samples[3].clip, 0.0f);
    EXPECT_FLOAT_EQ(out.loop, walk.get_loop() ? 1.0f : 0.0f);
    EXPECT_FLOAT_EQ(out.loop_start, -1.0f);
    EXPECT_FLOAT_EQ(out.loop_end, -1.0f);
    EXPECT_FLOAT_EQ(out.play_length, 0.0f);
    EXPECT_FLOAT_EQ(out.cycle_duration, d);
    ASSERT_GT(d, 0.0f);
    // start_time = t - fmodf(t - (t + shift), D)
    EXPECT_NEAR(out.start_time, 2.0f - std::fmod(-0.3f, d), 1e-5f);

    const Animation& locomotion = manager->get_blend_space("locomotion");
    ASSERT_EQ(locomotion.get_type(), BS_2D);
    locomotion.apply(4.0f, character.get(), &props, with_duration(0.1f), out);
    EXPECT_EQ(out.kind, BS_RECORD_2D);
    EXPECT_FLOAT_EQ(out.start_time, 4.0f);
    EXPECT_EQ(character->get_stack_size(), 2);
}

TEST_F(ApplyTest, OverrideAndReservedCarryOverFromTheRecordBelow) {
    ShaderBlendSpace2D below;
    below.kind = BS_RECORD_CLIP;
    below.override_clip = 3.0f;
    below.reserved = 7.0f;
    below.play_length = 42.0f;
    character->push_blend_space(below);

    ShaderBlendSpace2D out;
    manager->get_blend_space("locomotion").apply(1.0f, character.get(), &props, with_duration(0.0f), out);
    EXPECT_FLOAT_EQ(out.override_clip, 3.0f);
    EXPECT_FLOAT_EQ(out.reserved, 7.0f);
    EXPECT_FLOAT_EQ(out.play_length, 42.0f);  // a 2-D space leaves it as it was
}

TEST_F(ApplyTest, UnplayableEntryWritesAnEmptyRecord) {
    test::LogCapture log;
    auto missing = entry_from("return { type = 'animation', name = 'no_such_clip' }");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->is_playable());
    ShaderBlendSpace2D out;
    EXPECT_FLOAT_EQ(missing->apply(0.0f, character.get(), &props, with_duration(0.1f), out), 0.0f);
    EXPECT_EQ(out.kind, BS_RECORD_EMPTY);
    // The record evaluates to nothing rather than indexing the clip list.
    const auto m = manager->_get_instance_matrix(1.0f, out);
    EXPECT_TRUE(std::get<0>(m).isIdentity());
}

}  // namespace
