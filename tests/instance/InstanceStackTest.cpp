// The instance record's stack rules (the record in effect, expiry, eviction), driven through real
// cookies of a model.
#include <algorithm>
#include <iterator>

#include "tests/instance/InstanceTest.h"

using namespace Animator;
using test::clip_record;
using InstanceStack = test::InstanceTest;

TEST_F(InstanceStack, RecordInEffectIsTheNewestStartedAndSetStackReplaces) {
    auto c = harness.cookie();
    c->set_stack({clip_record(0, 0), clip_record(1, 1), clip_record(2, 2)});
    EXPECT_EQ(clips(*c), (std::vector<float>{0, 1, 2}));
    const std::pair<float, float> cases[] = {{-1.0f, 0}, {0.5f, 0}, {1.0f, 1}, {5.0f, 2}};  // time, clip
    for (const auto& [t, clip] : cases) EXPECT_EQ(c->get_current_blend_space(t).samples[0].clip, clip) << t;

    c->set_stack({clip_record(7, 3)});
    EXPECT_EQ(clips(*c), std::vector<float>{7});
    c->set_stack({});
    const InstanceData& data = c->get_instance_data();
    EXPECT_TRUE(std::all_of(std::begin(data.stack), std::end(data.stack), [](int32_t s) { return s == -1; }));
    EXPECT_EQ(c->get_current_blend_space(0.0f).kind, BS_RECORD_EMPTY);  // safe on an empty stack
}

TEST_F(InstanceStack, EntryBelowAFadedInEntryExpiresAndAFullStackEvictsItsBottom) {
    auto c = harness.cookie();
    c->clear_data();  // drops the default idle record
    c->push_blend_space(clip_record(0, 0, 0, 0));
    c->push_blend_space(clip_record(1, 1, 1, 1));  // faded in at 2
    clock.set(1.5);
    c->push_blend_space(clip_record(2, 3, 3, 1));  // clip 1 still fading in: nothing goes
    EXPECT_EQ(clips(*c), (std::vector<float>{0, 1, 2}));
    clock.set(2.0);  // exactly faded in
    c->push_blend_space(clip_record(3, 10, 10, 1));
    EXPECT_EQ(clips(*c), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(model.free_records(), 1);  // the expired record went back to the pool

    c->clear_data();
    clock.set(-1.0);  // nothing has faded in yet
    for (int i = 0; i < MAX_ANIMATIONS_STACK_SIZE; ++i) c->push_blend_space(clip_record(i, i, 0, 0));
    const int bottom = c->get_instance_data()[0];
    const int free_before = model.free_records();
    clock.set(1000.0);  // now every entry qualifies for expiry, yet only the bottom one goes
    c->push_blend_space(clip_record(500, 500, 0, 0));
    const std::vector<float> after = clips(*c);
    ASSERT_EQ(after.size(), static_cast<size_t>(MAX_ANIMATIONS_STACK_SIZE));
    EXPECT_EQ(after.front(), 1.0f);
    EXPECT_EQ(after.back(), 500.0f);
    // The record is added before the stack makes room, so the evicted one is left free.
    EXPECT_EQ(model.free_records(), free_before + 1);
    EXPECT_EQ(model.get_blend_spaces().free_head, bottom);
}
