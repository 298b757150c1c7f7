// Cookies, the model's instance registry and its record pool.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/instance/TestModel.h"

using namespace Animator;
using test::clip_record;

namespace {

class CookieRegistry : public ::testing::Test {
protected:
    test::TestModel& model() { return *harness.model; }

    test::ManualClock clock{0.0};
    test::ModelHarness harness{"skeleton = 'none'\n"};
};

bool same_bytes(const InstanceData& a, const InstanceData& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

TEST_F(CookieRegistry, IdsAreDenseAndReusedSmallestFirst) {
    auto c0 = harness.cookie();
    auto c1 = harness.cookie();
    EXPECT_EQ(c0->get_id(), 0);
    EXPECT_EQ(c1->get_id(), 1);
    c0.reset();
    EXPECT_EQ(model().get_per_instance_data()[0].id, -1);
    EXPECT_EQ(model().get_per_instance_data()[0].size(), 0);
    auto again = harness.cookie();
    EXPECT_EQ(again->get_id(), 0);

    auto c2 = harness.cookie();
    ASSERT_EQ(c2->get_id(), 2);
    c2.reset();
    again.reset();
    c1.reset();  // freed in the order 2, 0, 1
    auto a = harness.cookie();
    auto b = harness.cookie();
    auto c = harness.cookie();
    EXPECT_EQ(a->get_id(), 0);
    EXPECT_EQ(b->get_id(), 1);
    EXPECT_EQ(c->get_id(), 2);
    EXPECT_EQ(model().get_per_instance_data().size(), 3u);
    EXPECT_TRUE(model().get_free_ids().empty());
}

TEST_F(CookieRegistry, RegistryCopyFollowsEveryStackChange) {
    auto c = harness.cookie();
    c->push_blend_space(clip_record(1, 0));
    EXPECT_TRUE(same_bytes(model().get_per_instance_data()[c->get_id()], c->get_instance_data()));
    c->set_stack({clip_record(2, 0), clip_record(3, 1)});
    EXPECT_TRUE(same_bytes(model().get_per_instance_data()[c->get_id()], c->get_instance_data()));
    model().set_changed(false);
    c->clear_data();
    EXPECT_TRUE(model().is_changed());
    EXPECT_EQ(model().get_per_instance_data()[c->get_id()].size(), 0);
}

TEST_F(CookieRegistry, PoolReusesFreedRecordsThroughItsChain) {
    auto c = harness.cookie();
    c->clear_data();
    const size_t records = model().pool().records.size();
    // The cleared idle record is reused before the pool grows.
    c->push_blend_space(clip_record(1, 0));
    EXPECT_EQ(model().pool().records.size(), records);
    c->push_blend_space(clip_record(2, 1));
    EXPECT_EQ(model().pool().records.size(), records + 1);

    const int i = c->get_instance_data()[0];
    const int j = c->get_instance_data()[1];
    c->remove_blend_space(i);
    const ShaderBlendSpace2D& freed = model().get_record(i);
    EXPECT_EQ(static_cast<int32_t>(freed.kind), -1);  // the chain ends here
    ShaderBlendSpace2D zero;
    std::memset(static_cast<void*>(&zero), 0, sizeof(zero));
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&freed) + 4, reinterpret_cast<const char*>(&zero) + 4, 100), 0);
    c->remove_blend_space(j);
    EXPECT_EQ(static_cast<int32_t>(model().get_record(j).kind), i);  // chained to the previous head
    EXPECT_EQ(model().add_blend_space(clip_record(5, 0)), j);
    EXPECT_EQ(model().add_blend_space(clip_record(6, 0)), i);
    EXPECT_EQ(model().get_blend_spaces().free_head, -1);
    EXPECT_THROW(model().release_blend_space(static_cast<int>(model().pool().records.size())), std::out_of_range);
}

TEST_F(CookieRegistry, DestroyedCookieReleasesItsRecordsAndCloneReleasesNothing) {
    auto c = harness.cookie();
    c->set_stack({clip_record(1, 0), clip_record(2, 1), clip_record(3, 2)});
    const int free_before = model().free_records();

    auto clone = c->clone();
    auto* clone_cookie = static_cast<CharacterModelCookie*>(clone.get());
    EXPECT_EQ(clone_cookie->get_id(), c->get_id());
    EXPECT_TRUE(clone_cookie->get_is_clone());
    clone.reset();
    EXPECT_EQ(model().free_records(), free_before);
    EXPECT_EQ(model().get_cookies()[c->get_id()], c.get());

    {
        CharacterModelCookie copy(*c);  // a plain copy is not registered either
    }
    EXPECT_EQ(model().get_cookies()[c->get_id()], c.get());
    EXPECT_EQ(model().free_records(), free_before);

    c.reset();
    EXPECT_EQ(model().free_records(), free_before + 3);
}

TEST_F(CookieRegistry, RecordInEffectAtATime) {
    auto c = harness.cookie();
    c->set_stack({clip_record(0, 0), clip_record(1, 1), clip_record(2, 2)});
    EXPECT_EQ(c->get_current_blend_space(0.5f).samples[0].clip, 0.0f);
    EXPECT_EQ(c->get_current_blend_space(1.0f).samples[0].clip, 1.0f);
    EXPECT_EQ(c->get_current_blend_space(5.0f).samples[0].clip, 2.0f);
    EXPECT_EQ(c->get_current_blend_space(-1.0f).samples[0].clip, 0.0f);

    const std::vector<ShaderBlendSpace2D>& stack = c->get_stack(0.0f);
    ASSERT_EQ(stack.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stack[i].samples[0].clip, float(i));  // bottom first
    c->set_stack({clip_record(7, 3)});
    EXPECT_EQ(c->get_current_blend_space(1.0f).samples[0].clip, 7.0f);
    const int free_before = model().free_records();
    c->set_stack({});
    EXPECT_EQ(model().free_records(), free_before + 1);
    EXPECT_EQ(c->get_stack_size(), 0);
    EXPECT_EQ(c->get_current_blend_space(0.0f).kind, BS_RECORD_EMPTY);  // safe on an empty stack
    EXPECT_TRUE(c->get_stack(0.0f).empty());
}

TEST_F(CookieRegistry, LiveryFlagsAndPlainFields) {
    auto c = harness.cookie();
    c->set_dirty(false);
    c->setLiveryHandle(0xFFFFFFFFu);
    EXPECT_FALSE(c->get_dirty());
    EXPECT_EQ(c->get_instance_data().livery, osg::Vec3i(0, 0, 0));
    c->setLiveryHandle(12345u);  // unknown to the livery manager: the default triple
    EXPECT_TRUE(c->get_dirty());
    EXPECT_EQ(c->get_instance_data().livery, osg::Vec3i(0, 0, 0));

    model().set_changed(false);
    c->set_flags(5);
    EXPECT_EQ(c->get_flags(), 5);
    EXPECT_FALSE(model().is_changed());
    EXPECT_EQ(model().get_per_instance_data()[c->get_id()].flags, 0);  // reaches the registry on update
    c->update();
    EXPECT_EQ(model().get_per_instance_data()[c->get_id()].flags, 5);
    const float r = c->get_random_value();
    EXPECT_GE(r, 0.0f);
    EXPECT_LT(r, 1.0f);
}

TEST_F(CookieRegistry, ExplicitPushEndsTheIdleWindow) {
    auto c = harness.cookie();
    c->set_timeline_window(osg::Vec2f(3.0f, 4.0f));
    c->push_blend_space(clip_record(1, 0));
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(0.0f, 0.0f));
    EXPECT_EQ(c->get_instance_data().timeline_length, 0.0f);
}

TEST(CookieWithoutModel, IsInertAndSafe) {
    CharacterModelCookie c(nullptr);
    EXPECT_EQ(c.get_id(), -1);
    c.push_blend_space(clip_record(1, 0));
    c.set_idle(1.0f);
    c.clear_data();
    EXPECT_EQ(c.get_stack_size(), 0);
    EXPECT_TRUE(c.get_stack(0.0f).empty());
    EXPECT_EQ(c.get_correction(0.0f).position(), osg::Vec3f(0, 0, 0));
}

// Places and removes many characters on one model; the pool and the per-instance array must stay
// bounded by what is alive at once.
TEST_F(CookieRegistry, SoakPlacingAndRemovingTenThousandCharacters) {
    constexpr int alive_at_once = 40;
    constexpr int records_each = 5;
    std::vector<std::unique_ptr<CharacterModelCookie>> alive;
    for (int n = 0; n < 10000; ++n) {
        auto c = harness.cookie();
        for (int k = 0; k < records_each; ++k) c->push_blend_space(clip_record(k, static_cast<float>(k)));
        alive.push_back(std::move(c));
        if (alive.size() > alive_at_once) alive.erase(alive.begin() + (n * 7) % alive.size());
    }
    const size_t bound = (alive_at_once + 1) * (records_each + 1) + 2;
    EXPECT_LE(model().pool().records.size(), bound);
    EXPECT_LE(model().get_per_instance_data().size(), static_cast<size_t>(alive_at_once + 1));
    alive.clear();
    EXPECT_EQ(model().free_records(), static_cast<int>(model().pool().records.size()));
    EXPECT_EQ(model().get_free_ids().size(), model().get_per_instance_data().size());
}
