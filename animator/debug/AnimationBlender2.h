// The clip stack editor: a debug window ("Blender2") in which a developer lays clips of one skeleton
// type on a timeline, each with a start time and a fade-in window, and plays them on one character.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace Animator {

class AnimationManager;
class CharacterModelCookie;

class AnimationBlender2 {
public:
    // One timeline entry.
    struct Clip {
        int clip = 0;
        std::string name;
        float start = 0.0f;       // seconds
        float duration = 0.0f;    // seconds, the clip's length
        float fade_start = 0.0f;  // seconds
        float fade_end = 0.0f;    // seconds
    };

    AnimationBlender2() = default;
    AnimationBlender2(const AnimationBlender2&) = default;
    AnimationBlender2& operator=(const AnimationBlender2&) = default;
    virtual ~AnimationBlender2() = default;

    // The character the editor plays on (not owned); null forgets it and its library.
    void set_cookie(CharacterModelCookie* cookie);
    // Draws the window; called by the owner once per frame inside a Dear ImGui frame, after both time
    // callables are set.
    void gui();

    // The time shown by the slider and where a change of it goes; supplied by the owner.
    std::function<float()> time_getter;
    std::function<void(float)> time_setter;

    CharacterModelCookie* get_cookie() const { return _cookie; }
    AnimationManager* get_manager() const { return _manager; }
    const std::vector<Clip>& get_clips() const { return _clips; }
    const std::vector<std::string>& get_names() const { return _names; }
    int get_selected() const { return _selected; }
    int get_chosen_clip() const { return _chosen_clip; }
    float get_timeline_length() const { return _timeline_length; }

private:
    void _add_clip(int clip);
    void _apply_clip(int entry, int clip);
    void _remove_clip(int entry);
    void _draw_clip(const Clip& clip, int entry);
    void _update_cookie();
    // Whether `clip` is a clip index of the library.
    bool _valid_clip(int clip) const;

    CharacterModelCookie* _cookie = nullptr;
    AnimationManager* _manager = nullptr;
    std::vector<Clip> _clips;
    std::vector<std::string> _names;  // the library's clip names, sorted
    int _selected_name = 0;
    int _chosen_clip = 0;
    int _selected = -1;
    float _timeline_length = 0.0f;
    bool _reported_missing_time = false;
};

}  // namespace Animator
