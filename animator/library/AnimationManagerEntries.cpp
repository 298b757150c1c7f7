// The library's playable entries and state graph: loading the "/blend_space/" and "/graph/" descriptors
// of the skeleton type and looking the entries up.
#include <memory>
#include <string>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/library/AnimationManager.h"
#include "animator/util/Log.h"
#include "host/Vfs.h"

namespace Animator {

namespace {

// Answered for an index or a name that no entry has: belongs to no library, so it is unplayable
// (empty record, duration 0, identity root motion, zero route plan).
const Animation& empty_entry() {
    static const Animation entry;
    return entry;
}

// Reads a whole descriptor and runs it; true when the chunk ran (its first result is then on top).
bool run_descriptor(Lua::Config& cfg, const std::string& path) {
    std::vector<char> data;
    if (!ornvfs::read_file(path, data)) return false;
    return cfg.load_buffer(data.data(), data.size(), path.c_str());
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

void AnimationManager::_load_graph(const std::vector<std::string>& files, Lua::Config& cfg) {
    log_message(LOG_TAG, LOG_INFO, "Loading graphs:");
    for (const std::string& file : files) {
        const std::string path = "/animations/" + _name + "/graph/" + file;
        if (run_descriptor(cfg, path))
            cfg.pop();
        else
            log_message(LOG_TAG, LOG_ERROR, "can not load graph");
    }
    _graph = std::make_unique<AnimationGraph>();
    _graph->init(cfg, this);
}

}  // namespace Animator
