// Reference livery manager (see LiveryManager.h).
#include "refhost/LiveryManager.h"

#include <atomic>

namespace refhost {

namespace {
std::atomic<ILiveryManager*> g_override{nullptr};
}

LiveryManager& LiveryManager::reference() {
    static LiveryManager* manager = new LiveryManager;  // never destroyed: asked from static objects
    return *manager;
}

bool LiveryManager::enumerateTextures(unsigned handle, const TextureCallback& callback) {
    std::vector<Texture> textures;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _liveries.find(handle);
        if (it == _liveries.end()) return false;
        textures = it->second;
    }
    if (callback)
        for (const auto& t : textures) callback(t.channel, t.texture, t.name);
    return true;
}

void LiveryManager::add_livery(unsigned handle, std::vector<Texture> textures) {
    std::lock_guard<std::mutex> lock(_mutex);
    _liveries[handle] = std::move(textures);
}

void LiveryManager::remove_livery(unsigned handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    _liveries.erase(handle);
}

void LiveryManager::clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _liveries.clear();
}

void set_livery_manager(ILiveryManager* manager) { g_override.store(manager); }

}  // namespace refhost

ILiveryManager* ILiveryManager::instance() {
    ILiveryManager* m = refhost::g_override.load();
    return m ? m : &refhost::LiveryManager::reference();
}
