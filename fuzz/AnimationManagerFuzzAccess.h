// The fuzz harnesses' way into an animation library: feeds one file of the type's folder to the loader
// of its kind of entry, as init would. On a loaded library it then takes back what the entry added, so
// that every input meets the library as it was loaded (and the Lua globals of a fresh state); the
// skeleton loads into a fresh manager.
#pragma once
#include <string>

#include "animator/library/AnimationManager.h"

namespace Animator {

class AnimationManagerFuzzAccess {
public:
    explicit AnimationManagerFuzzAccess(AnimationManager& manager) : _manager(manager) {}

    // The type's skeleton ("<type>.anim", else "<type>.skel"), loaded as init loads it ahead of the
    // clips (node table included); true when it loaded. Meant for a fresh manager.
    bool load_skeleton();
    // A clip file of the type's folder ("input.lua", "input.assbin"), loaded as a clip task does.
    void load_clip(const std::string& entry);
    // A descriptor of the type's "blend_space/", "override/" or "graph/" folder.
    void load_blend_space(const std::string& file);
    void load_override(const std::string& file);
    void load_graph(const std::string& file);

private:
    // Replaces the library's Lua state by a fresh one, as the constructor makes it.
    void _fresh_lua();
    // Runs a loader over the library's Lua globals; a throw (a graph naming an unknown state throws by
    // design) ends the load like any other failure.
    template <typename Loader>
    void _run(Loader&& loader);

    AnimationManager& _manager;
};

}  // namespace Animator
