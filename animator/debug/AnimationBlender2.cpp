#include "animator/debug/AnimationBlender2.h"

#include <algorithm>

#include <imgui.h>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"

namespace Animator {

namespace {

constexpr float kRowHeight = 23.0f;
constexpr float kCursorIndent = 28.0f;  // the radio button column left of the rows
constexpr float kCursorHeight = 50.0f;
constexpr int kComboRows = 30;
const ImVec4 kEntryColour(0.0f, 0.5f, 0.0f, 1.0f);
const ImVec4 kSelectedColour(1.0f, 0.0f, 0.0f, 1.0f);
const ImVec4 kNameColour(1.0f, 1.0f, 0.0f, 1.0f);
const ImVec4 kFadeColour(0.5f, 0.5f, 0.5f, 0.5f);
const ImVec4 kCursorColour(1.0f, 0.0f, 1.0f, 1.0f);

bool name_at(void* data, int index, const char** out) {
    const auto* names = static_cast<const std::vector<std::string>*>(data);
    if (index < 0 || index >= static_cast<int>(names->size())) return false;
    *out = (*names)[static_cast<size_t>(index)].c_str();
    return true;
}

}  // namespace

void AnimationBlender2::set_cookie(CharacterModelCookie* cookie) {
    _cookie = cookie;
    _manager = nullptr;
    _names.clear();
    _selected_name = 0;
    _chosen_clip = 0;
    if (!cookie) return;
    CharacterModelStatic* model = cookie->get_model();
    _manager = model ? model->get_animation_manager() : nullptr;
    if (!_manager) {
        log_message(LOG_TAG, LOG_ERROR, "Blender2: the character has no animation library");
        return;
    }
    for (const char* name : _manager->get_animation_names()) _names.emplace_back(name);
}

bool AnimationBlender2::_valid_clip(int clip) const {
    return _manager && clip >= 0 && clip < _manager->get_num_animations();
}

void AnimationBlender2::_add_clip(int clip) {
    if (!_valid_clip(clip)) {
        log_message(LOG_TAG, LOG_WARNING, "Blender2: no clip %d to add", clip);
        return;
    }
    Clip entry;
    entry.clip = clip;
    _manager->get_animation(clip, entry.name);
    entry.duration = _manager->get_animation_duration(clip);
    _clips.push_back(entry);
    if (_timeline_length == 0.0f) _timeline_length = 2.0f * entry.duration;
}

void AnimationBlender2::_apply_clip(int entry, int clip) {
    if (entry < 0 || entry >= static_cast<int>(_clips.size()) || !_valid_clip(clip)) {
        log_message(LOG_TAG, LOG_WARNING, "Blender2: can not put clip %d on entry %d", clip, entry);
        return;
    }
    Clip& c = _clips[static_cast<size_t>(entry)];
    c.clip = clip;
    _manager->get_animation(clip, c.name);
    c.duration = _manager->get_animation_duration(clip);
}

void AnimationBlender2::_remove_clip(int entry) {
    if (entry < 0 || entry >= static_cast<int>(_clips.size())) return;
    _clips.erase(_clips.begin() + entry);
    if (_clips.empty()) _selected = -1;
    else if (_selected >= static_cast<int>(_clips.size())) _selected = static_cast<int>(_clips.size()) - 1;
}

void AnimationBlender2::_update_cookie() {
    if (!_cookie) return;
    _cookie->clear_data();
    for (const Clip& c : _clips) {
        ShaderBlendSpace2D record;
        record.kind = BS_RECORD_CLIP;
        record.samples[0] = ShaderBlendSpace2D::Sample{0.0f, 0.0f, static_cast<float>(c.clip)};
        record.start_time = c.start;
        record.cycle_duration = c.duration;
        record.play_length = c.start + c.duration;
        record.loop = 1.0f;
        record.loop_start = -1.0f;
        record.loop_end = -1.0f;
        record.blend_start = c.fade_start;
        record.blend_duration = c.fade_end - c.fade_start;
        record.override_clip = -1.0f;
        record.reserved = -1.0f;
        record.blend_space_id = 0;
        _cookie->push_blend_space(record);
    }
}

void AnimationBlender2::_draw_clip(const Clip& clip, int entry) {
    ImGui::PushID(entry);
    if (ImGui::RadioButton("##entry", _selected == entry)) _selected = entry;
    ImGui::PopID();
    ImGui::SameLine();
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    const float width = std::max(ImGui::GetContentRegionAvail().x, 1.0f);
    const float scale = _timeline_length > 0.0f ? width / _timeline_length : 0.0f;
    ImDrawList* draw = ImGui::GetWindowDrawList();
    const float x0 = origin.x + clip.start * scale;
    const float x1 = origin.x + (clip.start + clip.duration) * scale;
    draw->AddRect(ImVec2(x0, origin.y), ImVec2(x1, origin.y + kRowHeight),
                  ImGui::GetColorU32(_selected == entry ? kSelectedColour : kEntryColour));
    draw->AddText(ImVec2(x0 + 2.0f, origin.y + 4.0f), ImGui::GetColorU32(kNameColour), clip.name.c_str());
    const float f0 = origin.x + clip.fade_start * scale;
    const float f1 = std::max(origin.x + clip.fade_end * scale, f0 + 1.0f);
    draw->AddRectFilled(ImVec2(f0, origin.y), ImVec2(f1, origin.y + kRowHeight), ImGui::GetColorU32(kFadeColour));
    ImGui::Dummy(ImVec2(width, kRowHeight));
}

void AnimationBlender2::gui() {
    if (!time_getter || !time_setter) {
        if (!_reported_missing_time)
            log_message(LOG_TAG, LOG_ERROR, "Blender2: the time getter and setter must be set before gui()");
        _reported_missing_time = true;
        return;
    }
    ImGui::SetNextWindowSize(ImVec2(600.0f, 320.0f), ImGuiCond_FirstUseEver);
    if (!ImGui::Begin("Blender2")) {
        ImGui::End();
        return;
    }

    float time = time_getter();
    if (ImGui::SliderFloat("time", &time, 0.0f, _timeline_length, "%.3f")) time_setter(time);
    ImGui::SameLine();
    ImGui::Text("%f", _timeline_length);
    ImGui::SameLine();
    if (ImGui::Button("update")) _update_cookie();

    ImGui::SetNextItemWidth(150.0f);
    if (ImGui::Combo("##1", &_selected_name, name_at, &_names, static_cast<int>(_names.size()), kComboRows) &&
        _manager && _selected_name >= 0 && _selected_name < static_cast<int>(_names.size()))
        _chosen_clip = _manager->get_animation_index(_names[static_cast<size_t>(_selected_name)]);

    if (_selected >= 0) {
        ImGui::SameLine();
        if (ImGui::Button("Apply")) {
            _apply_clip(_selected, _chosen_clip);
            _update_cookie();
        }
    }
    ImGui::SameLine();
    if (ImGui::Button("+")) {
        _add_clip(_chosen_clip);
        _update_cookie();
    }
    if (_selected >= 0) {
        ImGui::SameLine();
        if (ImGui::Button("-")) {
            _remove_clip(_selected);
            _update_cookie();
        }
    }

    if (_selected >= 0 && _selected < static_cast<int>(_clips.size())) {
        Clip& c = _clips[static_cast<size_t>(_selected)];
        // The entry's fields have their own ID scope: "##1" also names the clip combo above.
        ImGui::PushID("entry");
        ImGui::PushItemWidth(50.0f);
        ImGui::TextUnformatted("start:");
        ImGui::SameLine();
        bool changed = ImGui::DragFloat("##1", &c.start, 1.0f, 0.0f, 0.0f, "%.3f");
        ImGui::SameLine();
        ImGui::TextUnformatted("tr:");
        ImGui::SameLine();
        changed |= ImGui::DragFloat("<->", &c.fade_start, 1.0f, 0.0f, 0.0f, "%.3f");
        ImGui::SameLine();
        changed |= ImGui::DragFloat("##2", &c.fade_end, 1.0f, 0.0f, 0.0f, "%.3f");
        ImGui::PopItemWidth();
        ImGui::PopID();
        if (changed) {
            if (c.start > c.fade_start) c.fade_start = c.start;
            if (c.fade_start > c.fade_end) c.fade_end = c.fade_start;
            _update_cookie();
        }
    }

    const ImVec2 rows = ImGui::GetCursorScreenPos();
    const float width = ImGui::GetContentRegionAvail().x;
    for (size_t i = 0; i < _clips.size(); ++i) _draw_clip(_clips[i], static_cast<int>(i));

    const float fraction = _timeline_length > 0.0f ? time / _timeline_length : 0.0f;
    const float x = rows.x + kCursorIndent + fraction * (width - kCursorIndent);
    ImGui::GetWindowDrawList()->AddLine(ImVec2(x, rows.y), ImVec2(x, rows.y + kCursorHeight),
                                        ImGui::GetColorU32(kCursorColour), 2.0f);
    ImGui::End();
}

}  // namespace Animator
