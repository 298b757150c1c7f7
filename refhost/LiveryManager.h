// Reference livery manager: liveries registered by handle, each a list of textures per channel. Tests
// and the host program fill it; ILiveryManager::instance() answers it unless another manager was set.
#pragma once
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/Livery.h"

namespace refhost {

class LiveryManager : public ILiveryManager {
public:
    struct Texture {
        int channel;
        std::string texture;
        std::string name;
    };

    static LiveryManager& reference();

    bool enumerateTextures(unsigned handle, const TextureCallback& callback) override;

    // Registers (or replaces) the livery of `handle`.
    void add_livery(unsigned handle, std::vector<Texture> textures);
    void remove_livery(unsigned handle);
    void clear();

private:
    std::mutex _mutex;
    std::map<unsigned, std::vector<Texture>> _liveries;
};

// Makes ILiveryManager::instance() answer `manager`; null restores the reference manager.
void set_livery_manager(ILiveryManager* manager);

}  // namespace refhost
