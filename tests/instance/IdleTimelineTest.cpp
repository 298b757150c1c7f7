// Dealing and shuffling of idle timelines, and their placement on a cookie's stack.
#include <cmath>
#include <map>

#include "animator/util/Log.h"
#include "tests/instance/InstanceTest.h"

using namespace Animator;
using test::clip_record;
using IdleTimeline = test::InstanceTest;

namespace {

// The timeline dealt at t, checked to be appended after what is there (left alone) and to run on
// from t without gaps for the total it answers and stores.
std::vector<osg::Vec3f> deal(const test::TestModel& model, float t, float random, float& total) {
    std::vector<osg::Vec3f> out{osg::Vec3f(9, 9, 9)};
    EXPECT_EQ(model.generate_timeline(t, out, total, random), total);
    EXPECT_EQ(out[0], osg::Vec3f(9, 9, 9));
    float end = t;
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_EQ(out[i].x(), end) << i;
        end = out[i].y();
    }
    EXPECT_EQ(total, end - t);
    return std::vector<osg::Vec3f>(out.begin() + 1, out.end());
}

}  // namespace

TEST_F(IdleTimeline, SharesDealWholeSlotsUpToTheCapInAnOrderTheSeedFixes) {
    // Entries are (duration, share, clip); `dealt` counts the slots of each clip, `sum` their durations.
    struct Case { int count; std::vector<CharacterModelStatic::IdleEntry> list; std::map<int, int> dealt; float sum; };
    const Case cases[] = {
        {10, {{2.0f, 0.6f, 1}, {3.0f, 0.4f, 2}}, {{1, 6}, {2, 4}}, 24.0f},
        {10, {{2.0f, 0.55f, 1}, {3.0f, 0.55f, 2}}, {{1, 5}, {2, 5}}, 25.0f},
        {10, {{2.0f, 0.05f, 1}, {2.0f, std::nanf(""), 2}}, {}, 0.0f},  // under one slot, or NaN: none
        {-3, {{2.0f, 1.0f, 1}}, {}, 0.0f},
        // Past the cap of 100000 slots every entry keeps its share (the cut is reported once).
        {150000, {{1.0f, 0.5f, 1}, {1.0f, 0.5f, 2}}, {{1, 50000}, {2, 50000}}, 100000.0f},
        {1000000, {{1.0f, 0.2f, 1}, {2.0f, 0.8f, 2}}, {{1, 20000}, {2, 80000}}, 180000.0f},
    };
    float total = -1.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        idle_entries(c.count, c.list);
        std::map<int, int> dealt;
        for (const osg::Vec3f& e : deal(model, 10.25f, 0.3f, total)) ++dealt[static_cast<int>(e.z())];
        EXPECT_EQ(dealt, c.dealt);
        EXPECT_EQ(total, c.sum);
    }
    EXPECT_EQ(harness.log.count(LOG_WARNING, "idle timeline cut"), 1u);

    std::vector<CharacterModelStatic::IdleEntry> ten;
    for (int i = 0; i < 10; ++i) ten.push_back({1.0f + i, 0.1f, i});
    idle_entries(10, ten);
    const std::vector<osg::Vec3f> reference = deal(model, 5.5f, 0.25f, total);
    EXPECT_EQ(deal(model, 5.5f, 0.25f, total), reference);
    bool differs = false;  // 10 distinct clips: 10! orders
    for (float r : {0.1f, 0.2f, 0.6f, 0.9f}) differs = differs || deal(model, 5.5f, r, total) != reference;
    EXPECT_TRUE(differs);
}

TEST_F(IdleTimeline, SetIdleReplacesTheStackOrPutsTheLoopingDefaultClipOnTop) {
    idle_entries(2, {{2.0f, 0.5f, 1}, {3.0f, 0.5f, 2}});
    auto c = harness.cookie();  // the constructor placed a timeline at 0
    const size_t records = model.pool().records.size();
    c->set_idle(100.0f);
    ASSERT_EQ(c->get_stack_size(), 2);
    EXPECT_EQ(model.pool().records.size(), records);  // the old timeline's records are reused
    float start = 100.0f;
    for (const ShaderBlendSpace2D& r : c->get_stack(0.0f)) {
        const float duration = r.samples[0].clip == 1.0f ? 2.0f : 3.0f;
        EXPECT_EQ(r.kind, BS_RECORD_CLIP);
        EXPECT_EQ(osg::Vec4f(r.start_time, r.blend_start, r.cycle_duration, r.play_length),
                  osg::Vec4f(start, start, duration, start + duration));
        // Played once, fading in over half a second; the override (-1) and the reserved value (1)
        // carried from a fresh stack.
        EXPECT_EQ(osg::Vec4f(r.loop, r.blend_duration, r.override_clip, r.reserved), osg::Vec4f(0, 0.5f, -1, 1));
        start += duration;
    }
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(100.0f, 5.0f));
    const InstanceData& registered = model.get_per_instance_data()[c->get_id()];
    EXPECT_EQ(osg::Vec2f(registered.timeline_start, registered.timeline_length), osg::Vec2f(100.0f, 5.0f));

    idle_entries(150, {{1.0f, 1.0f, 1}});  // only the last 100 of 150 records fit on the stack
    ShaderBlendSpace2D r = clip_record(4, 0);
    r.override_clip = 7.0f;  // carried from the record in effect
    r.reserved = 3.0f;
    c->set_stack({r});
    c->set_idle(0.0f);
    const std::vector<ShaderBlendSpace2D>& stack = c->get_stack(0.0f);
    ASSERT_EQ(stack.size(), static_cast<size_t>(MAX_ANIMATIONS_STACK_SIZE));
    EXPECT_EQ(osg::Vec2f(stack.front().start_time, stack.back().start_time), osg::Vec2f(50, 149));
    EXPECT_EQ(osg::Vec2f(stack.back().override_clip, stack.back().reserved), osg::Vec2f(7, 3));
    EXPECT_EQ(c->get_instance_data().timeline_length, 150.0f);

    model.idle_entries().clear();  // no timeline: the stack is kept and the default clip loops from 0 on top
    model.set_default_clip(3);
    c->set_idle(4.0f);
    ASSERT_EQ(c->get_stack_size(), MAX_ANIMATIONS_STACK_SIZE);
    const ShaderBlendSpace2D top = c->get_stack(0.0f).back();
    EXPECT_EQ(osg::Vec3f(top.samples[0].clip, top.start_time, top.loop), osg::Vec3f(3, 0, 1));
    EXPECT_EQ(c->get_timeline_window(), osg::Vec2f(0.0f, -1.0f));
    EXPECT_EQ(c->get_instance_data().timeline_length, -1.0f);
}
