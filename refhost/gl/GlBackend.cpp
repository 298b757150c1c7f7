// The OpenGL back-end's calls, each turned into a command of the GL thread (see GlBackend.h).
#include "refhost/gl/GlBackend.h"

#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <stb/stb_image_write.h>

#include <algorithm>
#include <utility>

#include "host/Log.h"
#include "host/Vfs.h"
#include "refhost/gl/EffectFile.h"
#include "refhost/gl/GlApi.h"
#include "refhost/gl/GlBuffer.h"
#include "refhost/gl/GlDevice.h"
#include "refhost/gl/GlTextureArray.h"
#include "refhost/gl/GlThread.h"

namespace render {

namespace {

// The largest buffer made: larger sizes come from faulty counts, and GLSL indexes with 32 bits.
const uint64_t MAX_BUFFER_BYTES = uint64_t(1) << 31;

const char* text_or_empty(const char* text) { return text ? text : ""; }

}  // namespace

std::shared_ptr<GlBackend> GlBackend::create() { return create(Options()); }

std::shared_ptr<GlBackend> GlBackend::create(const Options& options) {
    std::string error;
    std::shared_ptr<GlThread> thread = GlThread::start(error);
    if (!thread) {
        orn_logf("RENDER", 8, "no OpenGL 4.5 context: %s", error.c_str());
        return nullptr;
    }
    auto device = std::make_unique<GlDevice>(thread);
    bool ready = false;
    thread->call([&] { ready = device->init(options.width, options.height, options.shadow_size, error); });
    if (!ready) {
        orn_logf("RENDER", 8, "OpenGL back-end on %s: %s", thread->source().c_str(), error.c_str());
        GlDevice* raw = device.release();
        thread->stop([raw] { delete raw; });
        return nullptr;
    }
    return std::shared_ptr<GlBackend>(new GlBackend(std::move(thread), std::move(device)));
}

GlBackend::GlBackend(std::shared_ptr<GlThread> thread, std::unique_ptr<GlDevice> device)
    : _thread(std::move(thread)), _device(std::move(device)) {
    _thread->call([this] {
        _renderer = _device->renderer();
        _width = _device->width();
        _height = _device->height();
        _shadow_size = _device->shadow_size();
        _max_texture_size = _device->max_texture_size();
        _max_texture_layers = _device->max_texture_layers();
    });
}

GlBackend::~GlBackend() {
    // The device's GL objects are deleted on the GL thread, after every queued command.
    GlDevice* device = _device.release();
    _thread->stop([device] { delete device; });
}

std::string GlBackend::renderer() const { return _renderer; }

void GlBackend::finish() {
    _thread->call([] { glFinish(); });
}

template <class F> void GlBackend::post(F&& command) {
    GlDevice* device = _device.get();
    _thread->post([device, command = std::forward<F>(command)] { command(*device); });
}

// ---- resources ----

ShaderPtr GlBackend::openShader(const char* file, const ShaderDefines& defines) {
    if (!file || !*file) {
        orn_logf("RENDER", 8, "openShader: no file name");
        return nullptr;
    }
    std::vector<char> bytes;
    if (!ornvfs::read_file(std::string("/shaders/") + file, bytes)) {
        orn_logf("RENDER", 8, "shader file '%s' not found", file);
        return nullptr;
    }
    EffectFile effect;
    std::string error;
    if (!effect.parse(std::string(bytes.begin(), bytes.end()), error)) {
        orn_logf("RENDER", 8, "shader file '%s': %s", file, error.c_str());
        return nullptr;
    }
    std::shared_ptr<GlShader> shader;
    _thread->call([&] { shader = GlShader::build(file, defines, effect, _handles, _thread); });
    return shader;
}

std::shared_ptr<Buffer> GlBackend::allocate(const std::shared_ptr<GlBuffer>& buffer, const void* data, size_t bytes) {
    if (buffer->byte_size() > MAX_BUFFER_BYTES) {
        orn_logf("RENDER", 8, "buffer '%s': %u elements of %u bytes are more than the back-end makes",
                 buffer->tag().c_str(), buffer->capacity(), buffer->element_size());
        return nullptr;
    }
    bool made = false;
    _thread->call([&] { made = buffer->allocate(data, bytes); });
    if (!made) {
        orn_logf("RENDER", 8, "buffer '%s': the driver refused %llu bytes", buffer->tag().c_str(),
                 static_cast<unsigned long long>(buffer->byte_size()));
        return nullptr;
    }
    return buffer;
}

StructuredBuffer GlBackend::createStructuredBuffer(uint32_t element_size, uint32_t count, int usage, const void* data,
                                                   size_t bytes, const char* tag) {
    auto buffer = std::make_shared<GlBuffer>(_thread, BK_STRUCTURED, element_size, count, usage, text_or_empty(tag));
    if (data && bytes > buffer->byte_size()) {
        orn_logf("RENDER", 8, "structured buffer '%s': %zu bytes of data for %llu bytes of buffer", text_or_empty(tag),
                 bytes, static_cast<unsigned long long>(buffer->byte_size()));
        bytes = static_cast<size_t>(buffer->byte_size());
    }
    return allocate(buffer, data, data ? bytes : 0);
}

StructuredBuffer GlBackend::createVertexBuffer(ElementHandle element, int format, const void* data,
                                               uint32_t vertex_count, uint32_t vertex_size) {
    const uint32_t format_size = format == EF_FLOAT3 ? 12u : format == EF_FLOAT4_UBYTE4 ? 4u : 0u;
    if (format_size == 0 || vertex_size < format_size) {
        orn_logf("RENDER", 8, "vertex buffer: format %d with %u bytes per vertex is not a vertex format", format,
                 vertex_size);
        return nullptr;
    }
    if (vertex_count == 0) orn_logf("RENDER", 16, "vertex buffer without vertices");
    auto buffer = std::make_shared<GlBuffer>(_thread, BK_VERTEX, vertex_size, vertex_count, 0, "");
    buffer->set_vertex_format(element, format);
    return allocate(buffer, data, data ? static_cast<size_t>(buffer->byte_size()) : 0);
}

StructuredBuffer GlBackend::createIndexBuffer(const uint32_t* indices, uint32_t count) {
    auto buffer = std::make_shared<GlBuffer>(_thread, BK_INDEX, sizeof(uint32_t), count, 0, "");
    return allocate(buffer, indices, indices ? static_cast<size_t>(buffer->byte_size()) : 0);
}

TextureArrayPtr GlBackend::openTextureArray(const std::vector<std::string>& names, const char* name,
                                            const char* tag) {
    if (names.empty() || names.size() > static_cast<size_t>(_max_texture_layers)) {
        orn_logf("RENDER", 8, "texture array '%s': %zu layers (the driver allows 1 to %d)", text_or_empty(name),
                 names.size(), _max_texture_layers);
        return nullptr;
    }
    GlTextureArray::Layers layers;
    if (!GlTextureArray::load(names, text_or_empty(name), _max_texture_size, layers)) {
        orn_logf("RENDER", 8, "texture array '%s': none of its %zu textures can be read", text_or_empty(name),
                 names.size());
        return nullptr;
    }
    auto texture = std::make_shared<GlTextureArray>(_thread, names, text_or_empty(name), text_or_empty(tag));
    bool made = false;
    _thread->call([&] { made = texture->allocate(layers); });
    if (!made) {
        orn_logf("RENDER", 8, "texture array '%s': the driver refused %d layers of %d x %d", text_or_empty(name),
                 texture->layers(), layers.width, layers.height);
        return nullptr;
    }
    return texture;
}

// ---- commands ----

void GlBackend::beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass) {
    auto gl = std::dynamic_pointer_cast<GlShader>(shader);
    post([gl, technique, pass](GlDevice& d) { d.begin_technique(gl, technique, pass); });
}

void GlBackend::bindBuffer(VariableHandle variable, const StructuredBuffer& buffer) {
    post([variable, buffer](GlDevice& d) { d.bind_buffer(variable, buffer); });
}

void GlBackend::bindTexture(VariableHandle variable, const TextureArrayPtr& texture) {
    post([variable, texture](GlDevice& d) { d.bind_texture(variable, texture); });
}

void GlBackend::setFloat(VariableHandle variable, float value) {
    post([variable, value](GlDevice& d) { d.set_float(variable, value); });
}

void GlBackend::setInt(VariableHandle variable, int value) {
    post([variable, value](GlDevice& d) { d.set_int(variable, value); });
}

void GlBackend::setMatrix(VariableHandle variable, const osg::Matrixf& value) {
    post([variable, value](GlDevice& d) { d.set_matrix(variable, value); });
}

void GlBackend::bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer) {
    post([element, buffer](GlDevice& d) { d.bind_vertex_buffer(element, buffer); });
}

void GlBackend::bindIndexBuffer(const StructuredBuffer& buffer) {
    post([buffer](GlDevice& d) { d.bind_index_buffer(buffer); });
}

void GlBackend::commit() {
    post([](GlDevice& d) { d.commit(); });
}

void GlBackend::dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) {
    post([pass, x, y, z](GlDevice& d) { d.dispatch(pass, x, y, z); });
}

void GlBackend::drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) {
    post([index_count, instance_count](GlDevice& d) { d.draw_indexed_instanced(index_count, instance_count); });
}

void GlBackend::endPass() {
    post([](GlDevice& d) { d.end_pass(); });
}

void GlBackend::drawLines(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform,
                          const osg::Vec4f& color, unsigned pattern, bool depth_test) {
    if (!points || count < 2) return;
    std::vector<osg::Vec3f> copy(points, points + count);
    post([copy = std::move(copy), transform, color, pattern, depth_test](GlDevice& d) {
        d.draw_lines(copy, transform, color, pattern, depth_test);
    });
}

// ---- light and shadow map ----

void GlBackend::set_light(const osg::Vec3f& towards_light, const osg::Matrixf& view_projection) {
    post([towards_light, view_projection](GlDevice& d) { d.set_light(towards_light, view_projection); });
}

void GlBackend::begin_shadow_map() {
    post([](GlDevice& d) { d.begin_shadow_map(); });
}

std::vector<float> GlBackend::read_shadow_map() {
    std::vector<float> depths;
    GlDevice* device = _device.get();
    _thread->call([&] { device->read_shadow_map(depths); });
    return depths;
}

// ---- framebuffer ----

void GlBackend::begin_frame(const osg::Vec4f& clear_colour) {
    post([clear_colour](GlDevice& d) { d.begin_frame(clear_colour); });
}

void GlBackend::draw_ground(const osg::Matrixf& view_projection, const osg::Vec3f& centre, float half_extent,
                            const osg::Vec4f& colour) {
    post([view_projection, centre, half_extent, colour](GlDevice& d) {
        d.draw_ground(view_projection, centre, half_extent, colour);
    });
}

bool GlBackend::draw_imgui(ImDrawData* data) {
    ImGuiContext* context = ImGui::GetCurrentContext();
    if (!data || !context) {
        orn_logf("RENDER", 8, "draw_imgui: no Dear ImGui frame to draw");
        return false;
    }
    bool drawn = false;
    GlDevice* device = _device.get();
    const bool ran = _thread->call([&] {
        // The renderer keeps its GL objects (font texture included) in the context's IO; they live for
        // this one draw, so the context never holds objects of a GL context that has ended.
        ImGuiContext* previous = ImGui::GetCurrentContext();
        ImGui::SetCurrentContext(context);
        if (ImGui::GetIO().BackendRendererUserData) {
            orn_logf("RENDER", 8, "draw_imgui: the Dear ImGui context already has a renderer");
        } else if (!ImGui_ImplOpenGL3_Init("#version 410 core")) {
            orn_logf("RENDER", 8, "draw_imgui: the Dear ImGui OpenGL 3 renderer can not start");
        } else {
            // The frame was laid out while no font texture existed: its text and shapes name the
            // atlas by a null texture; they take the texture the renderer makes now.
            const ImTextureID laid_out = ImGui::GetIO().Fonts->TexID;
            ImGui_ImplOpenGL3_NewFrame();
            const ImTextureID atlas = ImGui::GetIO().Fonts->TexID;
            for (int i = 0; i < data->CmdListsCount; ++i)
                for (ImDrawCmd& command : data->CmdLists[i]->CmdBuffer)
                    if (command.TextureId == laid_out) command.TextureId = atlas;
            device->bind_framebuffer();
            ImGui_ImplOpenGL3_RenderDrawData(data);
            ImGui_ImplOpenGL3_Shutdown();
            drawn = true;
        }
        ImGui::SetCurrentContext(previous);
    });
    if (!ran) orn_logf("RENDER", 8, "draw_imgui: the GL thread has stopped");
    return drawn;
}

std::vector<uint8_t> GlBackend::read_colour() {
    std::vector<uint8_t> pixels;
    GlDevice* device = _device.get();
    _thread->call([&] { device->read_colour(pixels); });
    return pixels;
}

std::vector<float> GlBackend::read_motion() {
    std::vector<float> motion;
    GlDevice* device = _device.get();
    _thread->call([&] { device->read_motion(motion); });
    return motion;
}

bool GlBackend::write_png(const std::string& path) {
    const std::vector<uint8_t> pixels = read_colour();
    if (pixels.empty() || !stbi_write_png(path.c_str(), _width, _height, 4, pixels.data(), _width * 4)) {
        orn_logf("RENDER", 8, "can not write '%s'", path.c_str());
        return false;
    }
    return true;
}

void GlBackend::set_view_projection(const osg::Matrixf& view_projection) {
    post([view_projection](GlDevice& d) { d.set_view_projection(view_projection); });
}

}  // namespace render
