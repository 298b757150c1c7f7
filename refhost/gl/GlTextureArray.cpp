// Texture arrays decoded with stb_image (see GlTextureArray.h).
#include "refhost/gl/GlTextureArray.h"

#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "host/Log.h"
#include "host/Vfs.h"
#include "refhost/gl/GlApi.h"
#include "refhost/gl/GlThread.h"

namespace render {

namespace {

const uint8_t MISSING_LAYER[4] = {128, 128, 128, 255};
// The most pixel memory one texture array takes; beyond it the layers are made smaller.
const uint64_t MAX_ARRAY_BYTES = uint64_t(1) << 30;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // RGBA8
};

bool decode(const std::string& path, const char* array, Image& out) {
    std::vector<char> bytes;
    if (path.empty() || !ornvfs::read_file(path, bytes)) {
        orn_logf("RENDER", 16, "texture array '%s': texture '%s' not found, a grey layer stands in", array,
                 path.c_str());
        return false;
    }
    int width = 0, height = 0, channels = 0;
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) bytes.clear();  // stb_image takes int sizes
    stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                            static_cast<int>(bytes.size()), &width, &height, &channels, 4);
    if (!pixels) {
        orn_logf("RENDER", 16, "texture array '%s': texture '%s' can not be decoded (%s), a grey layer stands in",
                 array, path.c_str(), stbi_failure_reason());
        return false;
    }
    out.width = width;
    out.height = height;
    out.pixels.assign(pixels, pixels + static_cast<size_t>(width) * height * 4);
    stbi_image_free(pixels);
    return true;
}

int mip_levels(int width, int height) {
    int levels = 1;
    for (int size = std::max(width, height); size > 1; size /= 2) ++levels;
    return levels;
}

}  // namespace

bool GlTextureArray::load(const std::vector<std::string>& names, const char* name, int max_size, Layers& out) {
    std::vector<Image> images(names.size());
    bool any = false;
    out.width = out.height = 1;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!decode(names[i], name, images[i])) continue;
        any = true;
        out.width = std::max(out.width, images[i].width);
        out.height = std::max(out.height, images[i].height);
    }
    if (!any) return false;
    out.width = std::min(out.width, max_size);
    out.height = std::min(out.height, max_size);
    while (static_cast<uint64_t>(out.width) * out.height * 4 * names.size() > MAX_ARRAY_BYTES &&
           (out.width > 1 || out.height > 1)) {
        out.width = std::max(out.width / 2, 1);
        out.height = std::max(out.height / 2, 1);
    }
    const size_t layer_bytes = static_cast<size_t>(out.width) * out.height * 4;
    out.pixels.assign(layer_bytes * names.size(), 0);
    for (size_t i = 0; i < images.size(); ++i) {
        uint8_t* layer = out.pixels.data() + layer_bytes * i;
        const Image& image = images[i];
        if (image.pixels.empty()) {
            for (size_t p = 0; p < layer_bytes; p += 4) std::memcpy(layer + p, MISSING_LAYER, 4);
        } else if (image.width == out.width && image.height == out.height) {
            std::memcpy(layer, image.pixels.data(), layer_bytes);
        } else {
            stbir_resize_uint8(image.pixels.data(), image.width, image.height, 0, layer, out.width, out.height, 0, 4);
        }
    }
    return true;
}

GlTextureArray::GlTextureArray(std::shared_ptr<GlThread> thread, std::vector<std::string> names, std::string name,
                               std::string tag)
    : _thread(thread), _owner(thread->serial()), _names(std::move(names)), _name(std::move(name)),
      _tag(std::move(tag)) {}

GlTextureArray::~GlTextureArray() {
    if (!_texture) return;
    const GLuint texture = _texture;
    GlThread::dispose(_thread, [texture] { glDeleteTextures(1, &texture); });
}

bool GlTextureArray::allocate(const Layers& layers) {
    const GLsizei count = static_cast<GLsizei>(_names.size());
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint texture = 0;
    glCreateTextures(GL_TEXTURE_2D_ARRAY, 1, &texture);
    glTextureStorage3D(texture, mip_levels(layers.width, layers.height), GL_RGBA8, layers.width, layers.height, count);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteTextures(1, &texture);
        return false;
    }
    // Images are uploaded top row first: texture coordinate t = 0 samples an image's top row.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTextureSubImage3D(texture, 0, 0, 0, 0, layers.width, layers.height, count, GL_RGBA, GL_UNSIGNED_BYTE,
                        layers.pixels.data());
    glGenerateTextureMipmap(texture);
    glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTextureParameteri(texture, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTextureParameteri(texture, GL_TEXTURE_WRAP_T, GL_REPEAT);
    _texture = texture;
    return true;
}

}  // namespace render
