// The clip stack editor used as a person uses it: mouse moves, clicks and drags fed to Dear ImGui frame
// after frame, on the sample biped; the list, the selection, the timeline and the character's stack
// are checked afterwards.
#include "animator/debug/AnimationBlender2.h"

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/util/Log.h"
#include "tests/debug/GuiDriver.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

namespace {

using Animator::AnimationBlender2;
using test::Gui;

class Blender2Test : public ::testing::Test {
protected:
    Blender2Test() : clock(-1.0), character(test::new_character()), manager(test::biped_manager()) {
        editor.time_getter = [this] { return shown_time; };
        editor.time_setter = [this](float t) { shown_time = t; };
        editor.set_cookie(character.get());
        gui.frame();  // the window appears; the next frame knows where it is
        gui.frame();
    }

    ImGuiWindow* window() { return gui.window("Blender2"); }
    ImGuiID id(const std::string& label, const std::vector<std::string>& scope = {}) {
        return Gui::id(window(), scope, label);
    }
    bool press(const std::string& label) { return window() && gui.click_item("Blender2", id(label)); }
    bool select_entry(int entry) {
        return window() && gui.click_item("Blender2", id("##entry", {"#" + std::to_string(entry)}));
    }
    // Opens the clip list and picks `name` in it.
    bool choose(const std::string& name) {
        if (!press("##1")) return false;
        ImGuiWindow* list = gui.window("##Combo_00");
        const auto& names = editor.get_names();
        for (size_t i = 0; list && i < names.size(); ++i)
            if (names[i] == name) return gui.click_item("##Combo_00", Gui::id(list, {"#" + std::to_string(i)}, name));
        return false;
    }
    // Drags one of the selected entry's fields ("##1" start, "<->" fade start, "##2" fade end).
    bool drag_field(const std::string& label, float dx) {
        Gui::Box b;
        if (!window() || !gui.find("Blender2", id(label, {"entry"}), b)) return false;
        gui.drag(b.centre(), dx);
        return true;
    }
    std::vector<Animator::ShaderBlendSpace2D> stack() { return character->get_stack(0.0f); }
    std::vector<std::string> entry_names() const {
        std::vector<std::string> n;
        for (const auto& c : editor.get_clips()) n.push_back(c.name);
        return n;
    }

    test::ManualClock clock;  // before every fade: the stack keeps every entry pushed
    std::unique_ptr<Animator::CharacterModelCookie> character;
    Animator::AnimationManager& manager;
    AnimationBlender2 editor;
    float shown_time = 0.0f;
    Gui gui{[this] { editor.gui(); }};
};

TEST_F(Blender2Test, TakesTheSortedClipNamesOfTheCharactersLibrary) {
    const std::vector<std::string> expected = {"idle",           "idle_look",      "turn_left",
                                               "turn_right",     "walk_loop_fast", "walk_loop_slow",
                                               "walk_start",     "walk_stop",      "wave"};
    EXPECT_EQ(editor.get_names(), expected);
    EXPECT_EQ(editor.get_manager(), &manager);
    editor.set_cookie(nullptr);
    EXPECT_TRUE(editor.get_names().empty());
    EXPECT_EQ(editor.get_manager(), nullptr);
}

TEST_F(Blender2Test, FirstClipSetsTheTimelineToTwiceItsLengthAndLaterOnesLeaveIt) {
    ASSERT_TRUE(window());
    EXPECT_EQ(editor.get_timeline_length(), 0.0f);
    ASSERT_TRUE(press("+"));  // the chosen clip starts as the first name: idle, 2 s
    ASSERT_EQ(entry_names(), std::vector<std::string>{"idle"});
    EXPECT_FLOAT_EQ(editor.get_timeline_length(), 4.0f);
    ASSERT_TRUE(choose("wave"));
    EXPECT_EQ(editor.get_chosen_clip(), manager.get_animation_index("wave"));
    ASSERT_TRUE(press("+"));
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"idle", "wave"}));
    EXPECT_FLOAT_EQ(editor.get_timeline_length(), 4.0f);
    EXPECT_EQ(editor.get_selected(), -1);  // adding selects nothing
    // "+" pushed the whole list, bottom first.
    const auto records = stack();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].samples[0].clip, manager.get_animation_index("idle"));
    EXPECT_EQ(records[1].samples[0].clip, manager.get_animation_index("wave"));
}

TEST_F(Blender2Test, EachEntryBecomesOneClipRecord) {
    ASSERT_TRUE(choose("walk_start"));
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(select_entry(0));
    ASSERT_TRUE(drag_field("##1", 20.0f));  // start later: the fade window follows
    ASSERT_TRUE(drag_field("##2", 20.0f));  // then a fade end after it
    const AnimationBlender2::Clip c = editor.get_clips().at(0);
    ASSERT_GT(c.start, 0.0f);
    ASSERT_GT(c.fade_end, c.fade_start);
    const auto records = stack();
    ASSERT_EQ(records.size(), 1u);
    const Animator::ShaderBlendSpace2D& r = records[0];
    EXPECT_EQ(r.kind, Animator::BS_RECORD_CLIP);
    EXPECT_EQ(r.samples[0].x, 0.0f);
    EXPECT_EQ(r.samples[0].y, 0.0f);
    EXPECT_EQ(r.samples[0].clip, manager.get_animation_index("walk_start"));
    EXPECT_FLOAT_EQ(r.start_time, c.start);
    EXPECT_FLOAT_EQ(r.cycle_duration, 0.8f);
    EXPECT_FLOAT_EQ(r.play_length, c.start + 0.8f);
    EXPECT_EQ(r.loop, 1.0f);
    EXPECT_EQ(r.loop_start, -1.0f);
    EXPECT_EQ(r.loop_end, -1.0f);
    EXPECT_FLOAT_EQ(r.blend_start, c.fade_start);
    EXPECT_FLOAT_EQ(r.blend_duration, c.fade_end - c.fade_start);
    EXPECT_EQ(r.override_clip, -1.0f);
    EXPECT_EQ(r.reserved, -1.0f);
    EXPECT_EQ(r.blend_space_id, 0);
}

TEST_F(Blender2Test, EditingButtonsAppearWithASelection) {
    ASSERT_TRUE(press("+"));
    Gui::Box box;
    EXPECT_FALSE(gui.find("Blender2", id("Apply"), box));
    EXPECT_FALSE(gui.find("Blender2", id("-"), box));
    EXPECT_FALSE(gui.find("Blender2", id("##1", {"entry"}), box));
    ASSERT_TRUE(select_entry(0));
    EXPECT_EQ(editor.get_selected(), 0);
    EXPECT_TRUE(gui.find("Blender2", id("Apply"), box));
    EXPECT_TRUE(gui.find("Blender2", id("-"), box));
    for (const char* field : {"##1", "<->", "##2"}) EXPECT_TRUE(gui.find("Blender2", id(field, {"entry"}), box)) << field;
}

TEST_F(Blender2Test, ApplyPutsTheChosenClipOnTheSelectedEntryKeepingItsWindow) {
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(select_entry(1));
    ASSERT_TRUE(drag_field("##1", 12.0f));
    const AnimationBlender2::Clip before = editor.get_clips().at(1);
    ASSERT_TRUE(choose("turn_left"));
    ASSERT_TRUE(press("Apply"));
    const AnimationBlender2::Clip after = editor.get_clips().at(1);
    EXPECT_EQ(after.name, "turn_left");
    EXPECT_EQ(after.clip, manager.get_animation_index("turn_left"));
    EXPECT_FLOAT_EQ(after.duration, 1.0f);
    EXPECT_EQ(after.start, before.start);
    EXPECT_EQ(after.fade_start, before.fade_start);
    EXPECT_EQ(after.fade_end, before.fade_end);
    EXPECT_EQ(editor.get_clips().at(0).name, "idle");
    EXPECT_FLOAT_EQ(editor.get_timeline_length(), 4.0f);
    const auto records = stack();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].samples[0].clip, manager.get_animation_index("turn_left"));
    EXPECT_FLOAT_EQ(records[1].cycle_duration, 1.0f);
}

TEST_F(Blender2Test, FadeWindowIsKeptInOrder) {
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(select_entry(0));
    // Table: field dragged, pixels; then start <= fade start <= fade end must hold.
    const struct {
        const char* field;
        float dx;
    } steps[] = {{"##1", 10}, {"##2", 16}, {"<->", -30}, {"##1", 30}, {"<->", 40}, {"##2", -60}};
    float last_start = 0.0f;
    for (const auto& s : steps) {
        ASSERT_TRUE(drag_field(s.field, s.dx)) << s.field;
        const AnimationBlender2::Clip c = editor.get_clips().at(0);
        EXPECT_LE(c.start, c.fade_start) << s.field << " " << s.dx;
        EXPECT_LE(c.fade_start, c.fade_end) << s.field << " " << s.dx;
        if (std::string(s.field) == "##1") {
            EXPECT_GT(c.start, last_start) << "a drag to the right moves the start later";
            // A start later than the fade window pulls both of its ends along.
            EXPECT_EQ(c.fade_start, c.start);
        }
        last_start = c.start;
        ASSERT_EQ(stack().size(), 1u);
        EXPECT_FLOAT_EQ(stack()[0].blend_start, c.fade_start);
        EXPECT_FLOAT_EQ(stack()[0].blend_duration, c.fade_end - c.fade_start);
    }
}

TEST_F(Blender2Test, RemovingTheOnlyEntryLeavesNothing) {
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(select_entry(0));
    ASSERT_TRUE(press("-"));
    EXPECT_TRUE(editor.get_clips().empty());
    EXPECT_EQ(editor.get_selected(), -1);
    EXPECT_EQ(character->get_stack_size(), 0);
    Gui::Box box;
    EXPECT_FALSE(gui.find("Blender2", id("-"), box));
    EXPECT_FLOAT_EQ(editor.get_timeline_length(), 4.0f);  // the timeline keeps its length
}

TEST_F(Blender2Test, RemovingTheLastEntryMovesTheSelectionUp) {
    for (const char* name : {"idle", "wave", "turn_left"}) {
        ASSERT_TRUE(choose(name));
        ASSERT_TRUE(press("+"));
    }
    ASSERT_TRUE(select_entry(2));
    ASSERT_TRUE(press("-"));
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"idle", "wave"}));
    EXPECT_EQ(editor.get_selected(), 1);
    ASSERT_TRUE(select_entry(0));
    ASSERT_TRUE(press("-"));  // a removal in front closes the gap; the selection stays in range
    EXPECT_EQ(entry_names(), std::vector<std::string>{"wave"});
    EXPECT_EQ(editor.get_selected(), 0);
    ASSERT_EQ(stack().size(), 1u);
    EXPECT_EQ(stack()[0].samples[0].clip, manager.get_animation_index("wave"));
}

TEST_F(Blender2Test, EntriesFadeInOverTheOneBeforeInListOrder) {
    for (const char* name : {"idle", "walk_loop_slow", "wave"}) {
        ASSERT_TRUE(choose(name));
        ASSERT_TRUE(press("+"));
    }
    // Entry 1 fades in from its start, entry 2 from a later start.
    ASSERT_TRUE(select_entry(1));
    ASSERT_TRUE(drag_field("##1", 8.0f));
    ASSERT_TRUE(drag_field("##2", 8.0f));
    ASSERT_TRUE(select_entry(2));
    ASSERT_TRUE(drag_field("##1", 30.0f));
    ASSERT_TRUE(drag_field("##2", 8.0f));
    const auto& clips = editor.get_clips();
    ASSERT_LT(clips[1].fade_end, clips[2].fade_start);
    auto records = stack();
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(records[i].samples[0].clip, clips[i].clip) << i;

    // Once entry 1 has faded in, the next push drops entry 0 beneath it.
    clock.set(0.5 * (clips[1].fade_end + clips[2].fade_start));
    ASSERT_TRUE(press("update"));
    records = stack();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].samples[0].clip, clips[1].clip);
    EXPECT_EQ(records[1].samples[0].clip, clips[2].clip);
}

TEST_F(Blender2Test, UpdateRebuildsTheStackFromTheList) {
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(press("+"));
    character->clear_data();
    ASSERT_EQ(character->get_stack_size(), 0);
    ASSERT_TRUE(press("update"));
    EXPECT_EQ(character->get_stack_size(), 2);
}

TEST_F(Blender2Test, TimeSliderSetsTheOwnersTime) {
    ASSERT_TRUE(press("+"));  // a 4 s timeline
    Gui::Box slider;
    ASSERT_TRUE(gui.find("Blender2", id("time"), slider));
    const float y = slider.centre().y;
    gui.click(ImVec2(slider.max.x, y));
    EXPECT_FLOAT_EQ(shown_time, 4.0f);
    gui.click(ImVec2(slider.min.x, y));
    EXPECT_FLOAT_EQ(shown_time, 0.0f);
    gui.click(slider.centre());
    EXPECT_NEAR(shown_time, 2.0f, 0.3f);
    // A drag to the right moves the time later.
    const float before = shown_time;
    gui.drag(slider.centre(), 30.0f);
    EXPECT_GT(shown_time, before);
}

TEST_F(Blender2Test, RowsShowTheSelectionInRed) {
    ASSERT_TRUE(press("+"));
    ASSERT_TRUE(press("+"));
    // Vertices of one colour in the window's draw list.
    auto vertices = [this](ImVec4 colour) {
        const ImU32 c = ImGui::ColorConvertFloat4ToU32(colour);
        int n = 0;
        for (const ImDrawVert& v : window()->DrawList->VtxBuffer) n += v.col == c;
        return n;
    };
    const ImVec4 red(1, 0, 0, 1), green(0, 0.5f, 0, 1), magenta(1, 0, 1, 1);
    gui.frame();
    EXPECT_EQ(vertices(red), 0);
    const int green_rows = vertices(green);
    EXPECT_GT(green_rows, 0);
    EXPECT_GT(vertices(magenta), 0);  // the time cursor
    ASSERT_TRUE(select_entry(1));
    gui.frame();
    EXPECT_GT(vertices(red), 0);
    EXPECT_EQ(vertices(green), green_rows / 2);  // one of the two outlines turned red
}

TEST(Blender2, WithoutTimeCallablesItLogsAndDrawsNothing) {
    test::LogCapture log;
    AnimationBlender2 editor;
    {
        Gui gui([&editor] { editor.gui(); });
        gui.frame();
        EXPECT_EQ(gui.window("Blender2"), nullptr);
    }
    EXPECT_EQ(log.count(Animator::LOG_ERROR, "time getter and setter"), 1u) << log.dump();
    editor.time_getter = [] { return 0.0f; };  // the setter is still missing
    Gui gui([&editor] { editor.gui(); });
    gui.frame();
    EXPECT_EQ(gui.window("Blender2"), nullptr);
}

TEST(Blender2, WithoutACharacterItDrawsAndAddsNothing) {
    test::LogCapture log;
    AnimationBlender2 editor;
    float t = 0.0f;
    editor.time_getter = [&t] { return t; };
    editor.time_setter = [&t](float v) { t = v; };
    Gui gui([&editor] { editor.gui(); });
    gui.frame();
    gui.frame();
    ImGuiWindow* w = gui.window("Blender2");
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(gui.click_item("Blender2", Gui::id(w, {}, "+")));
    EXPECT_TRUE(editor.get_clips().empty());
    EXPECT_EQ(editor.get_timeline_length(), 0.0f);
    EXPECT_TRUE(log.has(Animator::LOG_WARNING, "no clip")) << log.dump();
}

}  // namespace
