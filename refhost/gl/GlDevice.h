// The GL-thread side of the OpenGL back-end: the technique pass being run with the bindings recorded
// for it, the vertex layout, the off-screen framebuffer, the shadow map with the frame's light, and
// the debug-line and ground shaders. Every method runs on the GL thread, in the order the back-end's
// callers issued them.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "refhost/gl/GlShader.h"

namespace render {

class GlThread;

class GlDevice {
public:
    explicit GlDevice(std::shared_ptr<GlThread> thread);
    // Deletes the framebuffer, the vertex arrays and the line shader.
    ~GlDevice();
    GlDevice(const GlDevice&) = delete;
    GlDevice& operator=(const GlDevice&) = delete;

    // Makes the framebuffer of width x height (colour RGBA8, motion RG16F, depth), the shadow map of
    // shadow_size x shadow_size and the line and ground shaders; false with `error` set when the
    // driver refuses them.
    bool init(int width, int height, int shadow_size, std::string& error);
    const std::string& renderer() const { return _renderer; }
    int max_texture_size() const { return _max_texture_size; }
    int max_texture_layers() const { return _max_texture_layers; }

    void begin_technique(std::shared_ptr<GlShader> shader, TechniqueHandle technique, int pass);
    void bind_buffer(VariableHandle variable, StructuredBuffer buffer);
    void bind_texture(VariableHandle variable, TextureArrayPtr texture);
    void set_float(VariableHandle variable, float value);
    void set_int(VariableHandle variable, int value);
    void set_matrix(VariableHandle variable, const osg::Matrixf& value);
    void bind_vertex_buffer(ElementHandle element, StructuredBuffer buffer);
    void bind_index_buffer(StructuredBuffer buffer);
    void commit();
    void dispatch(int pass, uint32_t x, uint32_t y, uint32_t z);
    void draw_indexed_instanced(uint32_t index_count, uint32_t instance_count);
    void end_pass();
    void draw_lines(const std::vector<osg::Vec3f>& points, const osg::Matrixf& transform, const osg::Vec4f& colour,
                    unsigned pattern, bool depth_test);
    void set_view_projection(const osg::Matrixf& view_projection) { _view_projection = view_projection; }
    // The frame uniforms of the light (see GlBackend::set_light).
    void set_light(const osg::Vec3f& towards_light, const osg::Matrixf& view_projection);
    // Clears the shadow map; draws go into it until begin_frame.
    void begin_shadow_map();
    void draw_ground(const osg::Matrixf& view_projection, const osg::Vec3f& centre, float half_extent,
                     const osg::Vec4f& colour);

    // Draws go to the off-screen framebuffer again, which is cleared; the shadow map is sampled from
    // now on when begin_shadow_map ran since the last begin_frame.
    void begin_frame(const osg::Vec4f& clear_colour);
    // Binds the off-screen framebuffer with a viewport over all of it.
    void bind_framebuffer();
    // The colour target, RGBA8, top row first.
    void read_colour(std::vector<uint8_t>& out);
    // The motion target, two floats per pixel, top row first.
    void read_motion(std::vector<float>& out);
    // The shadow map's depths, shadow_size() squared, top row first.
    void read_shadow_map(std::vector<float>& out);
    int width() const { return _width; }
    int height() const { return _height; }
    int shadow_size() const { return _shadow_size; }

private:
    struct Value {
        enum Kind : int { BUFFER, TEXTURE, FLOAT, INT, MATRIX } kind = FLOAT;
        StructuredBuffer buffer;
        TextureArrayPtr texture;
        float f = 0.0f;
        int i = 0;
        osg::Matrixf m;
    };
    struct Bindings {
        std::map<VariableHandle, Value> values;
        std::map<ElementHandle, StructuredBuffer> vertices;
        StructuredBuffer indices;
    };

    // Applies the committed bindings to a program of the current shader.
    void apply(const GlShader::Program& program);
    void apply_value(const GlShader::Program& program, const GlShader::Slot& slot, VariableHandle handle,
                     const Value& value);
    void apply_vertices(const GlShader::Program& program);
    // Gives a program the frame's light and shadow map.
    void apply_host_uniforms(const GlShader::Program& program);
    // Binds the framebuffer draws go to now (the shadow map's or the off-screen one) and its viewport.
    void bind_target();
    // Reads level 0 of a texture, flipped so that the top row comes first.
    void read_texture(uint32_t texture, int width, int height, uint32_t format, uint32_t type, size_t pixel_bytes,
                      void* out);
    // The program of `pass` of the begun technique; null (the reason logged once) when there is none.
    const GlShader::Program* pass_program(int pass);
    // A buffer or texture of this context, or 0 (logged once) when it belongs to something else.
    uint32_t buffer_name(const StructuredBuffer& buffer);
    uint32_t texture_name(const TextureArrayPtr& texture);
    // Logs a message once per device: a fault repeated every frame is reported once.
    void warn_once(const std::string& text);

    std::shared_ptr<GlThread> _thread;
    uint64_t _owner;
    std::string _renderer;
    int _max_texture_size = 0;
    int _max_texture_layers = 0;
    uint32_t _max_groups[3] = {0, 0, 0};

    std::shared_ptr<GlShader> _shader;
    TechniqueHandle _technique = -1;
    int _pass = 0;
    Bindings _recorded;
    Bindings _committed;
    const GlShader::Program* _applied = nullptr;

    uint32_t _vao = 0;
    std::set<int> _enabled_inputs;
    int _width = 0;
    int _height = 0;
    uint32_t _framebuffer = 0;
    uint32_t _targets[3] = {0, 0, 0};  // colour, motion, depth

    int _shadow_size = 0;
    uint32_t _shadow_framebuffer = 0;
    uint32_t _shadow_map = 0;
    bool _into_shadow_map = false;  // draws go into the shadow map
    bool _shadow_drawn = false;     // begin_shadow_map ran since the last begin_frame
    bool _shadow_ready = false;     // the shadow map holds this frame's shadow pass
    osg::Vec3f _light_direction;
    osg::Matrixf _light_view_projection;

    std::shared_ptr<GlShader> _ground;
    GlShader::Handles _ground_handles;

    std::shared_ptr<GlShader> _lines;
    GlShader::Handles _line_handles;
    uint32_t _line_vao = 0;
    uint32_t _line_buffer = 0;
    osg::Matrixf _view_projection;

    std::set<std::string> _warned;
};

}  // namespace render
