// The blend spaces of an animation library: AnimationManager's loader of its blend_space descriptors and their lookup.
#include <memory>
#include <string>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/library/AnimationManager.h"
#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/Log.h"

namespace Animator {

using detail::run_descriptor;

namespace {

// Answered for an index or a name that no entry has: belongs to no library, so it is unplayable
// (empty record, duration 0, identity root motion, zero route plan).
const Animation& empty_entry() {
    static const Animation entry;
    return entry;
}

}  // namespace

void AnimationManager::_load_blend_spaces(const std::vector<std::string>& files, Lua::Config& cfg) {
    lua_State* L = cfg.state();
    if (!L) return;
    for (const std::string& file : files) {
        const std::string path = "/animations/" + _name + "/blend_space/" + file;
        if (!run_descriptor(cfg, path)) {
            log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
            continue;
        }
        if (!lua_istable(L, -1)) {
            // The chunk must answer its descriptor table; reading fields of anything else would read the
            // globals.
            log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
            cfg.pop();
            continue;
        }
        std::string type;
        cfg.read("type", type);
        if (std::unique_ptr<Animation> entry = Animation::create(type)) {
            entry->load(cfg, this);
            if (cfg.failed()) {
                log_message(LOG_TAG, LOG_ERROR, "can not load blendspace");
                cfg.pop();
                continue;
            }
            const int id = static_cast<int>(_blend_spaces.size());
            entry->set_id(id);
            _blend_space_names[entry->get_name()] = id;
            _blend_spaces.push_back(std::move(entry));
        }
        cfg.pop();
    }
}

const Animation& AnimationManager::get_blend_space(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= _blend_spaces.size()) return empty_entry();
    return *_blend_spaces[static_cast<size_t>(index)];
}

const Animation& AnimationManager::get_blend_space(const std::string& name) const {
    auto it = _blend_space_names.find(name);
    if (it == _blend_space_names.end()) return empty_entry();
    return get_blend_space(it->second);
}

}  // namespace Animator
