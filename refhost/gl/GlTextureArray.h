// A texture array of the OpenGL back-end: one GL_TEXTURE_2D_ARRAY with a layer per texture name,
// every layer at the size of the largest image.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Render.h"

namespace render {

class GlThread;

class GlTextureArray : public TextureArray {
public:
    // RGBA8 pixels of every layer, one after the other, each `width` x `height`, top row first.
    struct Layers {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> pixels;
    };
    // Reads and decodes every named image through the virtual file system; a name that is empty or
    // cannot be read or decoded gets a plain grey layer and a logged message. False (nothing to
    // make a texture of) when no image could be read.
    static bool load(const std::vector<std::string>& names, const char* name, int max_size, Layers& out);

    GlTextureArray(std::shared_ptr<GlThread> thread, std::vector<std::string> names, std::string name,
                   std::string tag);
    // Deletes the texture on the GL thread.
    ~GlTextureArray() override;

    const std::vector<std::string>& names() const override { return _names; }
    int layers() const override { return static_cast<int>(_names.size()); }
    const std::string& name() const { return _name; }
    const std::string& tag() const { return _tag; }

    // Creates the texture with its mipmaps from `layers`; on the GL thread.
    bool allocate(const Layers& layers);
    uint32_t texture() const { return _texture; }  // on the GL thread only
    uint64_t owner() const { return _owner; }

private:
    std::weak_ptr<GlThread> _thread;
    uint64_t _owner;
    std::vector<std::string> _names;
    std::string _name;
    std::string _tag;
    uint32_t _texture = 0;
};

}  // namespace render
