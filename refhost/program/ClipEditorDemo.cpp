#include "refhost/program/ClipEditorDemo.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cstdio>

#include "host/ImGuiReg.h"
#include "refhost/gl/GlBackend.h"

namespace {

constexpr const char* kEditorWindow = "Blender2";
constexpr const char* kStatisticsWindow = "Animator statistics";
constexpr const char* kClipList = "##Combo_00";  // the popup of the editor's clip combo
constexpr float kMargin = 10.0f;
constexpr float kEditorHeight = 320.0f;
constexpr int kSettleFrames = 20;        // a third of a second: the next click is not a double click
constexpr float kSecondsPerPixel = 0.01f;  // a drag on a number field with Alt held
constexpr float kScanStepX = 6.0f, kScanStepY = 5.0f;

ImGuiID id_in(ImGuiID seed, const char* label) { return ImHashStr(label, 0, seed); }
ImGuiID id_in(ImGuiID seed, int n) { return ImHashData(&n, sizeof n, seed); }

}  // namespace

ClipEditorDemo::ClipEditorDemo(Animator::CharacterModelCookie* cookie, double* time, int width, int height)
    : _time(time), _width(width), _height(height) {
    _editor.set_cookie(cookie);
    _editor.time_getter = [this] { return static_cast<float>(*_time); };
    _editor.time_setter = [this](float t) { *_time = t; };
    ImGui::orn::set_display_size(static_cast<float>(width), static_cast<float>(height));
    _handle = ImGui::orn::reg([this] {
        // The editor at the bottom left, the statistics at the top right.
        ImGui::SetNextWindowPos(ImVec2(kMargin, std::max(kMargin, _height - kEditorHeight - kMargin)),
                                ImGuiCond_FirstUseEver);
        _editor.gui();
        if (ImGuiWindow* statistics = ImGui::FindWindowByName(kStatisticsWindow)) {
            ImGui::SetWindowSize(kStatisticsWindow, ImVec2(0.0f, 0.0f));  // fits its contents
            ImGui::SetWindowPos(kStatisticsWindow,
                                ImVec2(std::max(kMargin, _width - statistics->Size.x - kMargin), kMargin));
        }
        return ImGui::orn::keep_registered;
    });
    for (int i = 0; i < 3; ++i) frame();  // windows take their size and place in their first frames
}

ClipEditorDemo::~ClipEditorDemo() { ImGui::orn::unreg(_handle); }

void ClipEditorDemo::frame() { ImGui::orn::run_frame(); }

void ClipEditorDemo::click(float x, float y) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(x, y);
    frame();
    io.MouseDown[0] = true;
    frame();
    io.MouseDown[0] = false;
    for (int i = 0; i < kSettleFrames; ++i) frame();
    _controls.clear();
}

void ClipEditorDemo::drag(float x, float y, float dx) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(x, y);
    frame();
    io.MouseDown[0] = true;
    io.KeyAlt = true;  // fine steps
    frame();
    for (float done = 0.0f; done < std::abs(dx);) {
        done = std::min(done + 2.0f, std::abs(dx));
        io.MousePos = ImVec2(x + (dx < 0 ? -done : done), y);
        frame();
    }
    io.MouseDown[0] = false;
    frame();
    io.KeyAlt = false;
    for (int i = 0; i < kSettleFrames; ++i) frame();
    _controls.clear();
}

bool ClipEditorDemo::find(const char* window, unsigned id, float& x, float& y) {
    auto& controls = _controls[window];
    if (controls.empty()) {
        // The mouse goes over the window as a person looks for a control.
        frame();
        ImGuiWindow* w = ImGui::FindWindowByName(window);
        if (!w || !w->Active) return false;
        const ImVec2 from = w->Pos, size = w->Size;
        ImGuiIO& io = ImGui::GetIO();
        for (float py = from.y + 2.0f; py < from.y + size.y; py += kScanStepY)
            for (float px = from.x + 2.0f; px < from.x + size.x; px += kScanStepX) {
                io.MousePos = ImVec2(px, py);
                frame();
                const ImGuiID hovered = GImGui->HoveredId;
                if (!hovered) continue;
                Box& b = controls[hovered];
                b.x0 = std::min(b.x0, px);
                b.y0 = std::min(b.y0, py);
                b.x1 = std::max(b.x1, px);
                b.y1 = std::max(b.y1, py);
            }
    }
    auto it = controls.find(id);
    if (it == controls.end()) return false;
    x = (it->second.x0 + it->second.x1) / 2.0f;
    y = (it->second.y0 + it->second.y1) / 2.0f;
    return true;
}

bool ClipEditorDemo::click_item(const char* window, unsigned id, const char* what) {
    float x = 0.0f, y = 0.0f;
    if (!find(window, id, x, y)) {
        std::printf("editor: no control '%s' in window '%s'\n", what, window);
        return false;
    }
    click(x, y);
    return true;
}

bool ClipEditorDemo::lay_clips(const std::vector<std::string>& names, float overlap, float fade) {
    ImGuiWindow* w = ImGui::FindWindowByName(kEditorWindow);
    if (!w) {
        std::printf("editor: the window '%s' did not open\n", kEditorWindow);
        return false;
    }
    const std::vector<std::string>& listed = _editor.get_names();
    for (size_t k = 0; k < names.size(); ++k) {
        const auto found = std::find(listed.begin(), listed.end(), names[k]);
        if (found == listed.end()) {
            std::printf("editor: no clip '%s' in the list\n", names[k].c_str());
            return false;
        }
        if (!click_item(kEditorWindow, id_in(w->ID, "##1"), "clip list")) return false;
        frame();
        ImGuiWindow* list = ImGui::FindWindowByName(kClipList);
        const int row = static_cast<int>(found - listed.begin());
        if (!list || !click_item(kClipList, id_in(id_in(list->ID, row), names[k].c_str()), names[k].c_str()))
            return false;
        if (!click_item(kEditorWindow, id_in(w->ID, "+"), "+")) return false;
        if (k == 0) continue;

        // The new entry starts into the one before and fades in over `fade` seconds.
        const int entry = static_cast<int>(k);
        if (!click_item(kEditorWindow, id_in(id_in(w->ID, entry), "##entry"), "entry")) return false;
        const Animator::AnimationBlender2::Clip& before = _editor.get_clips()[k - 1];
        const float start = before.start + overlap * before.duration;
        const ImGuiID fields = id_in(w->ID, "entry");
        float x = 0.0f, y = 0.0f;
        if (!find(kEditorWindow, id_in(fields, "##1"), x, y)) {
            std::printf("editor: no start field\n");
            return false;
        }
        drag(x, y, start / kSecondsPerPixel);
        if (!find(kEditorWindow, id_in(fields, "##2"), x, y)) {
            std::printf("editor: no fade field\n");
            return false;
        }
        drag(x, y, fade / kSecondsPerPixel);
    }
    return true;
}

bool ClipEditorDemo::draw(render::GlBackend& gl) {
    ImGui::GetIO().MousePos = ImVec2(-1.0f, -1.0f);  // no hover highlight in the pictures
    frame();
    return gl.draw_imgui(ImGui::GetDrawData());
}
