// The state graph of an animation library: AnimationManager's loader of its graph descriptors.
#include <memory>
#include <string>
#include <vector>

#include "animator/blend/AnimationGraph.h"
#include "animator/library/AnimationManager.h"
#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/Log.h"

namespace Animator {

using detail::run_descriptor;

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
    if (cfg.failed()) {
        log_message(LOG_TAG, LOG_ERROR, "can not load graph");
        _graph = std::make_unique<AnimationGraph>();
    }
}

}  // namespace Animator
