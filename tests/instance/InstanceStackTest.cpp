// The instance record and its stack rules, driven through real cookies of a model.
#include <gtest/gtest.h>

#include "tests/instance/TestModel.h"

using namespace Animator;
using test::clip_record;

namespace {

class InstanceStack : public ::testing::Test {
protected:
    void SetUp() override {
        cookie = harness.cookie();
        cookie->clear_data();  // drop the default idle record
    }
    const ShaderBlendSpace2D& record(int index) { return harness.model->get_record(index); }
    const InstanceData& data() { return cookie->get_instance_data(); }

    test::ManualClock clock{0.0};
    test::ModelHarness harness{"skeleton = 'none'\n"};
    std::unique_ptr<CharacterModelCookie> cookie;
};

}  // namespace

TEST_F(InstanceStack, EntryBelowAFadedInEntryExpiresIncludingEquality) {
    cookie->push_blend_space(clip_record(0, 0, 0, 0));   // A
    cookie->push_blend_space(clip_record(1, 1, 1, 1));   // B: faded in at 2
    const int a = data()[0], b = data()[1];
    clock.set(1.5);
    cookie->push_blend_space(clip_record(2, 3, 3, 1));   // C: B still fading, nothing goes
    ASSERT_EQ(data().size(), 3);
    EXPECT_EQ(data()[0], a);

    // Exactly at B's fade-in end A goes; B and C stay; C is not compared with its own fade.
    clock.set(2.0);
    cookie->push_blend_space(clip_record(3, 10, 10, 1));  // D
    ASSERT_EQ(data().size(), 3);
    EXPECT_EQ(data()[0], b);
    EXPECT_EQ(data()[3], -1);
    EXPECT_EQ(record(a).start_time, 0.0f);  // the released slot reads as zero ...
    EXPECT_EQ(static_cast<int32_t>(record(a).kind), -1);  // ... chained to the previous head
    EXPECT_EQ(harness.model->get_per_instance_data()[cookie->get_id()].stack_size, 3);
}

TEST_F(InstanceStack, FullStackEvictsTheBottomWithoutExpiry) {
    clock.set(-1.0);  // nothing has faded in yet
    for (int i = 0; i < MAX_ANIMATIONS_STACK_SIZE; ++i) cookie->push_blend_space(clip_record(i, i, 0, 0));
    ASSERT_EQ(data().size(), MAX_ANIMATIONS_STACK_SIZE);
    const int bottom = data()[0], second = data()[1];
    const int free_before = harness.model->free_records();

    clock.set(1000.0);  // now every entry qualifies for expiry, yet only the bottom one goes
    cookie->push_blend_space(clip_record(500, 500, 0, 0));
    EXPECT_EQ(data().size(), MAX_ANIMATIONS_STACK_SIZE);
    EXPECT_EQ(data()[0], second);
    EXPECT_EQ(record(data()[99]).samples[0].clip, 500.0f);
    // The record is added before the stack makes room, so the evicted one is left free.
    EXPECT_EQ(harness.model->free_records(), free_before + 1);
    EXPECT_EQ(harness.model->get_blend_spaces().free_head, bottom);
    EXPECT_NE(data()[99], -1);
}

TEST_F(InstanceStack, ClearReleasesEveryNamedRecord) {
    for (int i = 0; i < 3; ++i) cookie->push_blend_space(clip_record(i, i));
    const int free_before = harness.model->free_records();
    cookie->clear_data();
    EXPECT_EQ(harness.model->free_records(), free_before + 3);
    EXPECT_EQ(data().size(), 0);
    for (int i = 0; i < MAX_ANIMATIONS_STACK_SIZE; ++i) EXPECT_EQ(data()[i], -1);
}

TEST_F(InstanceStack, ShortStackPushesRemoveNothingAndTopIsTheLastPush) {
    cookie->push_blend_space(clip_record(0, 0));
    const int first = data().get_top();
    cookie->push_blend_space(clip_record(1, 1));
    EXPECT_EQ(data().size(), 2);
    EXPECT_EQ(harness.model->free_records(), 0);  // the first push took the cleared idle record
    EXPECT_EQ(data()[0], first);
    EXPECT_EQ(data().get_top(), data()[1]);
    EXPECT_EQ(record(data().get_top()).samples[0].clip, 1.0f);
}
