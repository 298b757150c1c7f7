// The registry of animation managers by skeleton type, emptied when the renderer resets.
#include "animator/library/AnimationManager.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "animator/library/AnimationManagerDetail.h"
#include "animator/util/Log.h"
#include "host/Graphics.h"
#include "host/Vfs.h"

namespace Animator {

using detail::ANIMATIONS_ROOT;

namespace {

// The managers by skeleton type. A model (or a controller) that uses a manager shares it, so that a
// manager the registry drops at a renderer reset lives on until its last user is gone.
struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<AnimationManager>> managers;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Empties the registry when the renderer resets (event 1).
class AnimatorRCallback : public Graphics::RendererCallback {
public:
    void onEvent(int event) override {
        if (event == 1) destroy_animation_managers();
    }
};

AnimatorRCallback& renderer_callback() {
    static AnimatorRCallback callback;
    return callback;
}

// Fills the registry with one manager per directory under the animations root; called with the
// registry locked.
void init_animation_managers_locked() {
    const std::vector<std::string> names = ornvfs::enumerate(ANIMATIONS_ROOT);
    if (names.empty()) {
        log_message(LOG_TAG, LOG_ERROR, "can not enumerate animations");
        return;
    }
    for (const std::string& name : names) {
        ornvfs::Stat st;
        if (!ornvfs::stat(std::string(ANIMATIONS_ROOT) + "/" + name, st)) continue;
        if (st.file_type != ornvfs::FT_DIRECTORY) continue;
        registry().managers[name] = std::make_shared<AnimationManager>(name.c_str());
    }
}

// Called with the registry locked.
void fill_registry_once() {
    if (!registry().managers.empty()) return;
    init_animation_managers_locked();
    Graphics::unregisterRendererCallback(&renderer_callback());
    Graphics::registerRendererCallback(&renderer_callback(), 1, -1);
}

// The registered manager of a type, initialised. A type whose directory was mounted after the
// registry was filled is registered on its first request; anything else answers null.
std::shared_ptr<AnimationManager> registered_manager(const char* skeleton_type) {
    std::shared_ptr<AnimationManager> manager;
    {
        std::lock_guard<std::mutex> lock(registry().lock);
        fill_registry_once();
        auto& managers = registry().managers;
        const std::string type = skeleton_type ? skeleton_type : "";
        auto it = managers.find(type);
        if (it == managers.end()) {
            ornvfs::Stat st;
            const bool plain_name = !type.empty() && type != "." && type != ".." &&
                                    type.find_first_of("/\\") == std::string::npos;
            if (!plain_name || !ornvfs::stat(ANIMATIONS_ROOT + type, st) || st.file_type != ornvfs::FT_DIRECTORY)
                return nullptr;
            it = managers.emplace(type, std::make_shared<AnimationManager>(type.c_str())).first;
        }
        manager = it->second;
    }
    // Loading runs outside the registry's lock: other types load meanwhile.
    if (manager) manager->init();
    return manager;
}

}  // namespace

AnimationManager& get_animation_manager(const char* skeleton_type) {
    static AnimationManager empty("");
    AnimationManager* manager = registered_manager(skeleton_type).get();
    if (!manager) {
        log_message(LOG_TAG, LOG_ERROR, "animation manager '%s' not found", skeleton_type ? skeleton_type : "");
        return empty;
    }
    return *manager;
}

AnimationManager* find_animation_manager(const char* skeleton_type) { return registered_manager(skeleton_type).get(); }

std::shared_ptr<AnimationManager> share_animation_manager(const char* skeleton_type) {
    return registered_manager(skeleton_type);
}

void init_animation_managers() {
    std::lock_guard<std::mutex> lock(registry().lock);
    init_animation_managers_locked();
}

void destroy_animation_managers() {
    std::map<std::string, std::shared_ptr<AnimationManager>> dropped;
    {
        std::lock_guard<std::mutex> lock(registry().lock);
        dropped.swap(registry().managers);
    }
    // A manager still in use keeps its clips; its GPU data is made again when it is next drawn. The
    // others go with `dropped`.
    for (auto& entry : dropped)
        if (entry.second) entry.second->release_gpu_animations();
}

}  // namespace Animator
