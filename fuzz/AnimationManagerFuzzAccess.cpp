#include "fuzz/AnimationManagerFuzzAccess.h"

#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/library/AnimationManagerDetail.h"

namespace Animator {

void AnimationManagerFuzzAccess::_fresh_lua() {
    AnimationManager& m = _manager;
    if (m._lua) ORN_lua_close(m._lua);
    m._lua = ORN_lua_open("Animator::AnimationManager::AnimationManager");
    if (m._lua) ORN_lua_openlibs(m._lua);
}

template <typename Loader>
void AnimationManagerFuzzAccess::_run(Loader&& loader) {
    _fresh_lua();
    lua_State* L = _manager._lua;
    if (!L) return;
    Lua::StackGuard guard(L);
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    Lua::Config cfg(L);
    try {
        loader(cfg);
    } catch (const std::exception&) {
    }
}

bool AnimationManagerFuzzAccess::load_skeleton() {
    AnimationManager::SkeletonGate skeleton;
    return _manager._skeleton_ready(skeleton);
}

void AnimationManagerFuzzAccess::load_clip(const std::string& entry) {
    AnimationManager& m = _manager;
    const size_t clips = m._clips.size();
    const size_t names = m._clip_names.size();
    const auto index = m._clip_index;
    _fresh_lua();
    // The skeleton is the one the library loaded.
    AnimationManager::SkeletonGate skeleton;
    std::call_once(skeleton.once, [&] { skeleton.loaded = m._skeleton != nullptr; });
    try {
        m._load_clip_entry(detail::ANIMATIONS_ROOT + m._name, entry, AnimationManager::PreprocessingOption(),
                           skeleton);
    } catch (const std::exception&) {
    }
    while (m._clips.size() > clips) {
        m._descriptor_scenes.erase(m._clips.back().scene.get());
        m._clips.pop_back();
    }
    m._clip_names.resize(names);
    m._clip_index = index;
}

void AnimationManagerFuzzAccess::load_blend_space(const std::string& file) {
    AnimationManager& m = _manager;
    const size_t entries = m._blend_spaces.size();
    const auto names = m._blend_space_names;
    _run([&](Lua::Config& cfg) { m._load_blend_spaces({file}, cfg); });
    m._blend_spaces.resize(entries);
    m._blend_space_names = names;
}

void AnimationManagerFuzzAccess::load_override(const std::string& file) {
    AnimationManager& m = _manager;
    const auto overrides = m._overrides;
    _run([&](Lua::Config& cfg) { m._load_overrides({file}, cfg); });
    m._overrides = overrides;
}

void AnimationManagerFuzzAccess::load_graph(const std::string& file) {
    AnimationManager& m = _manager;
    std::unique_ptr<AnimationGraph> graph = std::move(m._graph);
    _run([&](Lua::Config& cfg) { m._load_graph({file}, cfg); });
    m._graph = std::move(graph);
}

}  // namespace Animator
