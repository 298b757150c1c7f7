// Host livery manager: textures per channel of a livery handle.
#pragma once
#include <functional>
#include <string>

class ILiveryManager {
public:
    using TextureCallback = std::function<void(int channel, const std::string& texture, const std::string& name)>;
    virtual ~ILiveryManager() = default;
    // Enumerates the livery's textures; false when the handle names no livery.
    virtual bool enumerateTextures(unsigned handle, const TextureCallback& callback) = 0;
    static ILiveryManager* instance();
};
