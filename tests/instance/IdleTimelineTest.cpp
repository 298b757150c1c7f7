// Dealing and shuffling of idle timelines, and their placement on a cookie's stack.
#include <gtest/gtest.h>

#include <map>

#include "tests/instance/TestModel.h"

using namespace Animator;
using test::clip_record;

namespace {

class IdleTimeline : public ::testing::Test {
protected:
    void entries(int count, const std::vector<CharacterModelStatic::IdleEntry>& list) {
        harness.model->set_idle_count(count);
        harness.model->idle_entries() = list;
    }
    std::map<int, int> dealt(float t, float random, float* total_out = nullptr) {
        std::vector<osg::Vec3f> out;
        float total = -1.0f;
        const float r = harness.model->generate_timeline(t, out, total, random);
        EXPECT_EQ(r, total);
        if (total_out) *total_out = total;
        std::map<int, int> counts;
        for (const auto& e : out) ++counts[static_cast<int>(e.z())];
        return counts;
    }

    test::ManualClock clock{0.0};
    test::ModelHarness harness{"skeleton = 'none'\n"};
};

}  // namespace

TEST_F(IdleTimeline, SharesDealWholeSlots) {
    struct Case {
        int count;
        std::vector<CharacterModelStatic::IdleEntry> list;
        std::map<int, int> dealt;
    };
    const Case cases[] = {
        {10, {{2.0f, 0.6f, 1}, {3.0f, 0.4f, 2}}, {{1, 6}, {2, 4}}},
        {10, {{2.0f, 0.55f, 1}, {3.0f, 0.55f, 2}}, {{1, 5}, {2, 5}}},
        {10, {{2.0f, 0.05f, 1}}, {}},
        {-3, {{2.0f, 1.0f, 1}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        entries(c.count, c.list);
        float total = -1.0f;
        EXPECT_EQ(dealt(0.0f, 0.3f, &total), c.dealt);
        if (c.dealt.empty()) {
            EXPECT_EQ(total, 0.0f);
        }
    }
}

TEST_F(IdleTimeline, ElementsFollowEachOtherFromTheStart) {
    entries(6, {{2.0f, 0.5f, 1}, {3.0f, 0.5f, 2}});
    std::vector<osg::Vec3f> out{osg::Vec3f(9, 9, 9)};  // appended after what is there
    float total = 0.0f;
    harness.model->generate_timeline(10.25f, out, total, 0.7f);
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0], osg::Vec3f(9, 9, 9));
    EXPECT_FLOAT_EQ(total, 15.0f);
    float s = 10.25f;
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_FLOAT_EQ(out[i].x(), s);
        const float d = out[i].z() == 1.0f ? 2.0f : 3.0f;
        EXPECT_FLOAT_EQ(out[i].y(), s + d);
        s += d;
    }
}

TEST_F(IdleTimeline, SameSeedSameTimeline) {
    std::vector<CharacterModelStatic::IdleEntry> list;
    for (int i = 0; i < 10; ++i) list.push_back({1.0f + i, 0.1f, i});
    entries(10, list);
    auto run = [&](float t, float r) {
        std::vector<osg::Vec3f> out;
        float total = 0.0f;
        harness.model->generate_timeline(t, out, total, r);
        return out;
    };
    EXPECT_EQ(run(5.5f, 0.25f), run(5.5f, 0.25f));
    // Over a few seeds the order changes (10 distinct clips: 10! orders).
    bool differs = false;
    for (float r : {0.1f, 0.2f, 0.6f, 0.9f}) differs = differs || run(5.5f, r) != run(5.5f, 0.25f);
    EXPECT_TRUE(differs);
}

TEST_F(IdleTimeline, SetIdlePlacesTheTimelineOnTheStack) {
    entries(2, {{2.0f, 0.5f, 1}, {3.0f, 0.5f, 2}});
    auto c = harness.cookie();
    c->set_stack({});
    c->set_idle(100.0f);
    ASSERT_EQ(c->get_stack_size(), 2);
    const auto& stack = c->get_stack(0.0f);
    EXPECT_EQ(stack[0].start_time, 100.0f);
    EXPECT_TRUE(stack[1].start_time == 102.0f || stack[1].start_time == 103.0f);
    for (const auto& r : stack) {
        EXPECT_EQ(r.kind, BS_RECORD_CLIP);
        EXPECT_EQ(r.blend_duration, 0.5f);
        EXPECT_EQ(r.blend_start, r.start_time);
        EXPECT_EQ(r.loop, 0.0f);
        EXPECT_EQ(r.play_length, r.start_time + r.cycle_duration);
        EXPECT_EQ(r.override_clip, -1.0f);  // carried from an empty stack: (-1, 1)
        EXPECT_EQ(r.reserved, 1.0f);
    }
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(100.0f, 5.0f));
    EXPECT_EQ(harness.model->get_per_instance_data()[c->get_id()].timeline_start, 100.0f);
    EXPECT_EQ(harness.model->get_per_instance_data()[c->get_id()].timeline_length, 5.0f);

    // The override is carried from the record in effect.
    entries(1, {{2.0f, 1.0f, 1}});
    ShaderBlendSpace2D r = clip_record(4, 0);
    r.override_clip = 7.0f;
    r.reserved = 3.0f;
    c->set_stack({r});
    c->set_idle(1.0f);
    ASSERT_EQ(c->get_stack_size(), 1);
    EXPECT_EQ(c->get_stack(0.0f)[0].override_clip, 7.0f);
    EXPECT_EQ(c->get_stack(0.0f)[0].reserved, 3.0f);
}

TEST_F(IdleTimeline, LongTimelineKeepsItsLastHundredRecords) {
    entries(150, {{1.0f, 1.0f, 1}});
    auto c = harness.cookie();
    c->set_idle(0.0f);
    EXPECT_EQ(c->get_stack_size(), MAX_ANIMATIONS_STACK_SIZE);
    EXPECT_EQ(c->get_instance_data().timeline_length, 150.0f);
    const auto& stack = c->get_stack(0.0f);
    EXPECT_EQ(stack.front().start_time, 50.0f);
    EXPECT_EQ(stack.back().start_time, 149.0f);
}

TEST_F(IdleTimeline, WithoutTimelineTheDefaultClipLoops) {
    harness.model->idle_entries().clear();
    harness.model->set_default_clip(3);
    auto c = harness.cookie();  // the constructor starts the idle behaviour
    ASSERT_EQ(c->get_stack_size(), 1);
    ShaderBlendSpace2D r = c->get_stack(0.0f)[0];
    EXPECT_EQ(r.samples[0].clip, 3.0f);
    EXPECT_EQ(r.start_time, 0.0f);
    EXPECT_EQ(r.loop, 1.0f);
    EXPECT_EQ(r.play_length, 0.0f);
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(0.0f, -1.0f));
    EXPECT_EQ(c->get_instance_data().timeline_length, -1.0f);

    c->set_idle(4.0f);  // the stack is kept and the default clip goes on top
    EXPECT_EQ(c->get_stack_size(), 2);
}
