// The host program's clip stack editor scene: opens the editor ("Blender2") on one character, lays
// clips on its timeline with the mouse as a person would, and draws the GUI frame (the editor and
// every registered window, such as the plug-in's statistics) over each rendered frame.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "animator/debug/AnimationBlender2.h"

namespace render {
class GlBackend;
}

class ClipEditorDemo {
public:
    // Registers the editor's window; `time` is the model time the editor shows and sets.
    ClipEditorDemo(Animator::CharacterModelCookie* cookie, double* time, int width, int height);
    ~ClipEditorDemo();
    ClipEditorDemo(const ClipEditorDemo&) = delete;
    ClipEditorDemo& operator=(const ClipEditorDemo&) = delete;

    // Chooses each named clip in the editor's list and adds it; each entry after the first starts
    // `overlap` of the way through the one before and fades in over `fade` seconds. False (with what
    // failed printed) when a control could not be found or a name is not in the list.
    bool lay_clips(const std::vector<std::string>& names, float overlap, float fade);
    // Runs one GUI frame and draws it over the back-end's framebuffer.
    bool draw(render::GlBackend& gl);

    const Animator::AnimationBlender2& editor() const { return _editor; }

private:
    // Rectangles, in pixels, where the mouse found the controls of one window.
    struct Box {
        float x0 = 1e30f, y0 = 1e30f, x1 = -1e30f, y1 = -1e30f;
    };
    void frame();
    void click(float x, float y);
    void drag(float x, float y, float dx);
    // Where the control `id` of window `window` answers the mouse; false when nowhere.
    bool find(const char* window, unsigned id, float& x, float& y);
    bool click_item(const char* window, unsigned id, const char* what);

    Animator::AnimationBlender2 _editor;
    double* _time;
    int _width;
    int _height;
    uint32_t _handle = 0;
    std::map<std::string, std::map<unsigned, Box>> _controls;  // forgotten after every click or drag
};
