// Cookies, the model's instance registry and its record pool.
#include <algorithm>

#include "tests/instance/InstanceTest.h"

using namespace Animator;
using test::clip_record;
using CookieRegistry = test::InstanceTest;

TEST_F(CookieRegistry, IdsAreDenseReusedSmallestFirstAndGivenBackWithTheRecords) {
    std::unique_ptr<CharacterModelCookie> c[3] = {harness.cookie(), harness.cookie(), harness.cookie()};
    for (int i : {2, 0, 1}) c[i].reset();
    for (const InstanceData& d : model.get_per_instance_data()) EXPECT_TRUE(d.id == -1 && d.size() == 0);
    for (auto& cookie : c) cookie = harness.cookie();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c[i]->get_id(), i);
    EXPECT_EQ(model.get_per_instance_data().size(), 3u);

    // Only the registered cookie gives back its records and id: not a clone, nor a plain copy.
    c[1]->set_stack({clip_record(1, 0), clip_record(2, 1), clip_record(3, 2)});
    const int free_before = model.free_records();
    {
        auto clone = c[1]->clone();
        const CharacterModelCookie copy(*c[1]);
        EXPECT_EQ(static_cast<CharacterModelCookie*>(clone.get())->get_id(), 1);
    }
    EXPECT_EQ(model.free_records(), free_before);
    EXPECT_EQ(model.get_cookies()[1], c[1].get());
    c[1].reset();
    EXPECT_EQ(model.free_records(), free_before + 3);
    for (auto& cookie : c) cookie.reset();  // nothing is kept once every character is gone
    EXPECT_EQ(model.free_records(), static_cast<int>(model.pool().records.size()));
    EXPECT_EQ(model.get_free_ids().size(), model.get_per_instance_data().size());
}

TEST_F(CookieRegistry, RegistryCopyFollowsStackChangesAndUpdates) {
    auto c = harness.cookie();
    c->set_timeline_window(osg::Vec2f(3.0f, 4.0f));
    c->push_blend_space(clip_record(1, 0));  // an explicit push ends the idle window
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(0.0f, 0.0f));
    EXPECT_EQ(c->get_instance_data().timeline_length, 0.0f);
    EXPECT_TRUE(synced(*c));
    c->clear_data();
    EXPECT_TRUE(synced(*c));

    model.set_changed(false);
    c->set_flags(5);  // reaches the registry with the next update only
    EXPECT_FALSE(model.is_changed() || synced(*c));
    c->update();
    EXPECT_TRUE(model.is_changed() && synced(*c));
    c->set_dirty(false);
    c->setLiveryHandle(0xFFFFFFFFu);  // "no livery": ignored
    EXPECT_FALSE(c->get_dirty());
    c->setLiveryHandle(12345u);  // unknown to the livery manager: the default triple
    EXPECT_TRUE(c->get_dirty() && synced(*c));
}

TEST_F(CookieRegistry, PoolReusesFreedRecordsThroughItsChain) {
    auto c = harness.cookie();
    c->clear_data();
    const size_t records = model.pool().records.size();
    c->push_blend_space(clip_record(1, 0));  // takes the cleared idle record
    c->push_blend_space(clip_record(2, 1));

    const int i = c->get_instance_data()[0], j = c->get_instance_data()[1];
    c->remove_blend_space(i);
    // A freed record is zero apart from its first word, the index of the next free record.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&model.get_record(i));
    EXPECT_EQ(static_cast<int32_t>(model.get_record(i).kind), -1);
    EXPECT_TRUE(std::all_of(bytes + 4, bytes + sizeof(ShaderBlendSpace2D), [](unsigned char b) { return b == 0; }));
    c->remove_blend_space(j);
    EXPECT_EQ(static_cast<int32_t>(model.get_record(j).kind), i);
    EXPECT_EQ(model.add_blend_space(clip_record(5, 0)), j);
    EXPECT_EQ(model.add_blend_space(clip_record(6, 0)), i);
    EXPECT_EQ(model.get_blend_spaces().free_head, -1);
    EXPECT_EQ(model.pool().records.size(), records + 1);
    EXPECT_THROW(model.release_blend_space(static_cast<int>(records + 1)), std::out_of_range);
}

TEST(CookieWithoutModel, IsInertAndSafe) {
    CharacterModelCookie c(nullptr);
    c.push_blend_space(clip_record(1, 0));
    c.set_stack({clip_record(2, 0)});
    c.set_idle(1.0f);
    c.setLiveryHandle(7u);
    c.update();
    c.clear_data();
    EXPECT_TRUE(c.get_stack(0.0f).empty());
    EXPECT_EQ(c.get_current_blend_space(0.0f).kind, BS_RECORD_EMPTY);
    EXPECT_EQ(c.get_correction(0.0f).position(), osg::Vec3f(0, 0, 0));
}
