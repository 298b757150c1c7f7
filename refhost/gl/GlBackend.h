// The reference host's OpenGL 4.5 renderer back-end, on a headless EGL context (a GPU device when
// the driver offers one, Mesa's software rasteriser otherwise). It runs the effect files of
// "/shaders/" (refhost/shaders/README.md), compute passes and instanced draws into an off-screen
// framebuffer that tests and tools read back.
//
// Threads: the context lives on a thread of its own (GlThread) that runs every GL call, in order, as
// commands posted to one queue. Calls that answer something (creating a shader, buffer or texture
// array, Buffer::read, the read-backs, finish) wait for their command; all others (bindings, dispatches,
// draws, Buffer::update with a copy of its data) return at once. So every Backend, Buffer and Shader
// method may be called from any thread; commands from several threads run in the order they were
// posted, and a sequence of begin/bind/commit/dispatch is meant to come from one thread at a time.
// Resources may outlive the back-end: their GL objects are deleted on the GL thread while it runs,
// and go with the context when it has ended.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Render.h"
#include "refhost/gl/GlShader.h"

struct ImDrawData;

namespace render {

class GlBuffer;
class GlDevice;
class GlThread;

class GlBackend : public Backend {
public:
    struct Options {
        int width = 256;  // off-screen framebuffer size in pixels
        int height = 256;
        int shadow_size = 2048;  // the shadow map's width and height in texels
    };
    // Null when no OpenGL 4.5 context can be made; the reason is logged (tag "RENDER", severity 8).
    static std::shared_ptr<GlBackend> create();
    static std::shared_ptr<GlBackend> create(const Options& options);
    // Waits for the queued work, then ends the context.
    ~GlBackend() override;
    GlBackend(const GlBackend&) = delete;
    GlBackend& operator=(const GlBackend&) = delete;

    std::string renderer() const;  // "GL_RENDERER | GL_VERSION"
    void finish();                  // waits for all submitted GL work

    // ---- Backend ----
    // Reads "/shaders/" + file through the virtual file system and builds one program per declared
    // pass; null with the reason logged when the file is missing, malformed, or does not compile or link.
    ShaderPtr openShader(const char* file, const ShaderDefines& defines) override;
    // Data longer than element_size * count is cut to fit, with a logged error.
    StructuredBuffer createStructuredBuffer(uint32_t element_size, uint32_t count, int usage, const void* data,
                                            size_t bytes, const char* tag) override;
    // `element` from Shader::getElement; EF_FLOAT3 (3 floats) or EF_FLOAT4_UBYTE4 (4 unsigned bytes,
    // an integer input reads them as uvec4; with a 20-byte stride it is a skinning record: a float
    // input reads its four float weights, an integer input its four bytes at byte 16); vertex_size is
    // the stride in bytes.
    StructuredBuffer createVertexBuffer(ElementHandle element, int format, const void* data, uint32_t vertex_count,
                                        uint32_t vertex_size) override;
    StructuredBuffer createIndexBuffer(const uint32_t* indices, uint32_t count) override;
    // Image files (PNG, TGA, JPEG, BMP...) read through the virtual file system; a name that can not
    // be read gets a grey layer. Null when none can be read.
    TextureArrayPtr openTextureArray(const std::vector<std::string>& names, const char* name,
                                     const char* tag) override;
    void beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass) override;
    void bindBuffer(VariableHandle variable, const StructuredBuffer& buffer) override;
    void bindTexture(VariableHandle variable, const TextureArrayPtr& texture) override;
    void setFloat(VariableHandle variable, float value) override;
    void setInt(VariableHandle variable, int value) override;
    void setMatrix(VariableHandle variable, const osg::Matrixf& value) override;
    void bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer) override;
    void bindIndexBuffer(const StructuredBuffer& buffer) override;
    void commit() override;
    // Runs `pass` of the begun technique, then the barrier that makes its writes visible to whatever
    // comes next.
    void dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) override;
    // Triangles of the bound index buffer into the off-screen framebuffer, with depth test.
    void drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) override;
    void endPass() override;
    // A line strip through the points, transformed by `transform` then the view-projection; a zero
    // pattern draws nothing, any other draws a solid line.
    void drawLines(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform, const osg::Vec4f& color,
                   unsigned pattern, bool depth_test) override;

    // ---- light and shadow map ----
    // The frame's directional light: `towards_light` (world, unit length after normalising; straight
    // up until set) lights what the shaders draw, and `view_projection` (row-vector order) takes a
    // world point to the shadow map's clip space. Both stay until set again.
    void set_light(const osg::Vec3f& towards_light, const osg::Matrixf& view_projection);
    // Clears the shadow map to the far depth; the draws that follow (the shadow pass) write their
    // depth into it, until begin_frame.
    void begin_shadow_map();
    // The shadow map's depths, shadow_size() x shadow_size(), top row first; 1 is the far depth.
    std::vector<float> read_shadow_map();
    int shadow_size() const { return _shadow_size; }

    // ---- off-screen framebuffer ----
    // Clears colour to `clear_colour`, motion to zero and depth to far; later draws land here. From
    // now until the next begin_shadow_map the draws sample the shadow map when begin_shadow_map ran
    // since the last begin_frame, else they are lit everywhere.
    void begin_frame(const osg::Vec4f& clear_colour);
    // A horizontal square of ground (centre, half its side) in `colour`, lit by the light and
    // shadowed by the shadow map, seen through `view_projection` (row-vector order). It lies under
    // everything drawn after it: it writes neither depth nor motion.
    void draw_ground(const osg::Matrixf& view_projection, const osg::Vec3f& centre, float half_extent,
                     const osg::Vec4f& colour);
    // The colour target, RGBA8, width() x height(), top row first.
    std::vector<uint8_t> read_colour();
    // The motion target: per pixel the screen-space motion (x, y) in normalised device units, this
    // frame's position minus the last frame's, width() x height(), top row first.
    std::vector<float> read_motion();
    // Writes the colour target as a PNG file (a real path, not a virtual one); false when it can not.
    bool write_png(const std::string& path);
    // Draws a finished Dear ImGui frame of the calling thread's current context (ImGui::GetDrawData()
    // after ImGui::Render, laid out for width() x height()) over the colour target with Dear ImGui's
    // OpenGL 3 renderer, on the GL thread; waits for it. False with the reason logged when it can not.
    bool draw_imgui(ImDrawData* data);
    // The matrix drawLines applies after its own transform (row-vector convention); identity at start.
    void set_view_projection(const osg::Matrixf& view_projection);
    int width() const { return _width; }
    int height() const { return _height; }

private:
    GlBackend(std::shared_ptr<GlThread> thread, std::unique_ptr<GlDevice> device);
    // Posts a command that works on the device (dropped once the thread has stopped).
    template <class F> void post(F&& command);
    // Makes the GL storage of a new buffer; null with the reason logged when the driver refuses it.
    std::shared_ptr<Buffer> allocate(const std::shared_ptr<GlBuffer>& buffer, const void* data, size_t bytes);

    std::shared_ptr<GlThread> _thread;
    std::unique_ptr<GlDevice> _device;  // used on the GL thread only
    GlShader::Handles _handles;
    std::string _renderer;
    int _width = 0;
    int _height = 0;
    int _shadow_size = 0;
    int _max_texture_size = 0;
    int _max_texture_layers = 0;
};

}  // namespace render
