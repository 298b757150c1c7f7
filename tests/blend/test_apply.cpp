// Applying playable entries to a real character: the record each entry writes onto the cookie's stack.
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "animator/blend/PropertyHolderImpl.h"
#include "tests/blend/BlendFixtures.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

class ApplyTest : public ::testing::Test {
protected:
    void SetUp() override { character->clear_data(); }
    // Applies the entry onto the character; the record written lands in `out`.
    float apply(const Animation& e, float time, std::optional<float> duration, std::optional<float> shift = {},
                std::optional<bool> loop = {}, std::optional<osg::Vec2f> range = {}) {
        return e.apply(time, character.get(), &props, TransitionParams{loop, range, duration, shift, 0}, out);
    }
    // Whether the newest record on the character's stack is `r`, byte for byte.
    bool top_is(const ShaderBlendSpace2D& r) const {
        return std::memcmp(&character->get_current_blend_space(1e6f), &r, sizeof(r)) == 0;
    }

    test::ManualClock clock{0.0};
    AnimationManager& manager = test::biped_manager();
    std::unique_ptr<CharacterModelCookie> character = test::new_character();
    PropertyHolderImpl props;
    ShaderBlendSpace2D out;
};

TEST_F(ApplyTest, ClipEntryWritesTimingPushesTheRecordAndNeedsATransitionDuration) {
    const Animation& walk_start = manager.get_blend_space("walk_start");
    ASSERT_TRUE(walk_start.is_playable());
    EXPECT_THROW(apply(walk_start, 1.0f, std::nullopt), std::bad_optional_access);
    EXPECT_EQ(character->get_stack_size(), 0);

    props.set_property("num_cycles", 2.0f);
    const float length = manager.get_animation_duration("walk_start");
    EXPECT_FLOAT_EQ(apply(walk_start, 3.0f, 0.25f, 0.5f), length);
    EXPECT_EQ(out.kind, BS_RECORD_CLIP);
    EXPECT_TRUE(out.start_time == 3.5f && out.blend_start == 3.0f && out.blend_duration == 0.25f);
    EXPECT_FLOAT_EQ(out.play_length, 2.0f * length) << "the properties reach the entry";
    ASSERT_EQ(character->get_stack_size(), 1);
    EXPECT_TRUE(top_is(out));
    EXPECT_FLOAT_EQ(walk_start.get_num_cycles(3.5f + 1.5f * length, character.get()), 1.5f);
    EXPECT_EQ(walk_start.get_num_cycles(9.0f, nullptr), 0.0f);

    const ShaderBlendSpace2D first = out;
    EXPECT_THROW(apply(walk_start, 4.0f, std::nullopt, 1.0f, true), std::bad_optional_access);
    ASSERT_EQ(character->get_stack_size(), 1);
    EXPECT_TRUE(top_is(first));
}

TEST_F(ApplyTest, LoopFlagAndRangeFollowTheTransitionOnlyWhenItGivesTheFlag) {
    test::LogCapture quiet;
    const auto idle = blendtest::load<Animation>("return { name = 'idle', loop = true, loop_params = { 15, 45 } }", &manager);
    ASSERT_TRUE(idle.is_playable());
    struct Case { std::optional<bool> loop; std::optional<osg::Vec2f> range; float loop_flag, start, end; };
    const Case cases[] = {{false, std::nullopt, 0, 0.5f, 1.5f},
                          {true, osg::Vec2f(0.2f, 0.8f), 1, 0.2f, 0.8f},
                          {std::nullopt, osg::Vec2f(0.2f, 0.8f), 1, 0.5f, 1.5f}};
    for (const Case& c : cases) {
        apply(idle, 2.0f, 0.0f, std::nullopt, c.loop, c.range);
        EXPECT_FLOAT_EQ(out.start_time, 2.0f) << "no start shift: the time of the call";
        EXPECT_EQ(out.loop, c.loop_flag);
        EXPECT_TRUE(out.loop_start == c.start && out.loop_end == c.end) << out.loop_start << ", " << out.loop_end;
    }
}

TEST_F(ApplyTest, BlendSpacesKeepTheirLoopAndAlignTheirCycleAndCarryWhatTheyDoNotOwn) {
    const Animation& walk = manager.get_blend_space("walk");
    ASSERT_EQ(walk.get_type(), BS_1D);
    props.set_property("speed", 1.5f);
    const float d = apply(walk, 2.0f, 0.2f, 0.3f, !walk.get_loop(), osg::Vec2f(0.1f, 0.4f));
    ASSERT_GT(d, 0.0f);
    EXPECT_EQ(out.loop, walk.get_loop() ? 1.0f : 0.0f) << "a blend space keeps its own loop flag";
    // start_time = t - fmodf(t - (t + shift), D)
    EXPECT_NEAR(out.start_time, 2.0f - std::fmod(-0.3f, d), 1e-5f);

    character->clear_data();
    ShaderBlendSpace2D below;
    below.override_clip = 3.0f;
    below.reserved = 7.0f;
    below.play_length = 42.0f;
    character->push_blend_space(below);
    const Animation& locomotion = manager.get_blend_space("locomotion");
    ASSERT_EQ(locomotion.get_type(), BS_2D);
    apply(locomotion, 4.0f, 0.1f);
    EXPECT_TRUE(out.kind == BS_RECORD_2D && out.override_clip == 3.0f && out.reserved == 7.0f);
    EXPECT_EQ(out.play_length, 42.0f) << "a 2-D space leaves the play length as it was";
    EXPECT_EQ(character->get_stack_size(), 2);
}

TEST_F(ApplyTest, UnplayableEntryWritesAnEmptyRecordThatIndexesNoClip) {
    test::LogCapture log;
    const auto missing = blendtest::load<Animation>("return { name = 'no_such_clip' }", &manager);
    EXPECT_FALSE(missing.is_playable());
    EXPECT_EQ(apply(missing, 0.0f, 0.1f), 0.0f);
    EXPECT_EQ(out.kind, BS_RECORD_EMPTY);
    EXPECT_TRUE(std::get<0>(manager._get_instance_matrix(1.0f, out)).isIdentity());
}

TEST_F(ApplyTest, CycleCountsAndClipIndicesAnIntCanNotHoldAreHeldToItsRange) {
    const Animation& walk_start = manager.get_blend_space("walk_start");
    ASSERT_TRUE(walk_start.is_playable());
    // Counts an int can not hold, read from the host's properties (the sanitizer build traps the cast).
    for (const float cycles : {3e9f, -3e9f, std::nanf(""), INFINITY}) {
        props.set_property("num_cycles", cycles);
        apply(walk_start, 1.0f, 0.25f);
        EXPECT_GE(out.play_length, 0.0f) << cycles;
    }
    // A record whose clip indices are no clip gives the rest root motion, not a read out of range.
    ShaderBlendSpace2D record;
    for (auto& sample : record.samples) sample.clip = 1e10f;
    record.samples[1].clip = std::nanf("");
    for (const char* name : {"turn", "locomotion"}) {
        const Animation& space = manager.get_blend_space(name);
        ASSERT_TRUE(space.is_playable()) << name;
        EXPECT_TRUE(space.get_root_start(record).valid()) << name;
    }
}

}  // namespace
