// Override entries of a library: loading them and finding one by name or by clip.
#include "animator/library/AnimationManager.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/Log.h"
#include "host/Vfs.h"

namespace Animator {

using detail::ANIMATIONS_ROOT;

// ---------------------------------------------------------------------------------------------------
// Overrides

void AnimationManager::_load_overrides(const std::vector<std::string>& files, Lua::Config& cfg) {
    lua_State* L = cfg.state();
    for (const std::string& file : files) {
        Lua::StackGuard guard(L);
        const std::string path = ANIMATIONS_ROOT + _name + "/override/" + file;
        std::vector<char> data;
        if (!ornvfs::read_file(path, data) || !cfg.load_buffer(data.data(), data.size(), file.c_str()) ||
            !lua_istable(L, -1)) {
            log_message(LOG_TAG, LOG_ERROR, "can not load override");
            continue;
        }
        OverrideAnimation entry;
        entry.weights.assign(static_cast<size_t>(_num_nodes), 0.0f);
        std::string clip_name;
        cfg.read("animation", clip_name);
        entry.clip = get_animation_index(clip_name);
        if (cfg.open("bones")) {
            for (int i = 1;; ++i) {
                cfg.get(i);
                if (lua_type(L, -1) != LUA_TSTRING) {
                    cfg.pop();
                    break;
                }
                std::string bone;
                cfg.pop(bone);
                const int id = get_node_id(bone);
                if (id >= 0 && id < _num_nodes) entry.weights[id] = 1.0f;
            }
            cfg.close();
        }
        if (cfg.failed()) {
            log_message(LOG_TAG, LOG_ERROR, "can not load override");
            continue;
        }
        std::string key = orn::toLower(file);
        const size_t cut = key.find(".lua");
        if (cut != std::string::npos) key.resize(cut);
        _overrides[key] = std::move(entry);
        _overrides[key].id = static_cast<int32_t>(_overrides.size()) - 1;
    }
}

const AnimationManager::OverrideAnimation& AnimationManager::get_override_animation(const std::string& name) const {
    auto it = _overrides.find(orn::toLower(name));
    if (it == _overrides.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
    return it->second;
}

const AnimationManager::OverrideAnimation* AnimationManager::find_override_by_clip(int clip) const {
    if (clip < 0 || clip >= static_cast<int>(_clips.size())) return nullptr;
    for (const auto& entry : _overrides)
        if (entry.second.clip == clip) return &entry.second;
    return nullptr;
}

}  // namespace Animator
