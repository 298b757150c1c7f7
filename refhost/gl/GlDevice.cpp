// The GL-thread state of the OpenGL back-end (see GlDevice.h).
#include "refhost/gl/GlDevice.h"

#include <algorithm>
#include <cstring>

#include "host/Log.h"
#include "refhost/gl/EffectFile.h"
#include "refhost/gl/GlApi.h"
#include "refhost/gl/GlBuffer.h"
#include "refhost/gl/GlTextureArray.h"
#include "refhost/gl/GlThread.h"

namespace render {

namespace {

// The debug-line shader: positions through one matrix, one colour, no motion.
const char* const LINE_EFFECT = R"(#pragma technique Lines pass 0 vertex:line_vertex fragment:line_fragment
layout(location = 0) uniform mat4 transform;
layout(location = 1) uniform vec4 colour;
#if defined(VERTEX_STAGE)
layout(location = 0) in vec3 position;
void line_vertex() { gl_Position = transform * vec4(position, 1.0); }
#endif
#if defined(FRAGMENT_STAGE)
layout(location = 0) out vec4 out_colour;
layout(location = 1) out vec4 out_motion;
void line_fragment() {
    out_colour = colour;
    out_motion = vec4(0.0);
}
#endif
)";

// The ground of the reference host's frames: a square of the ground plane, lit by the frame's light
// and darkened where the shadow map says the light is blocked; it does not move.
const char* const GROUND_EFFECT = R"(#pragma technique Ground pass 0 vertex:ground_vertex fragment:ground_fragment
layout(location = 0) uniform mat4 transform;
layout(location = 1) uniform vec4 colour;
layout(location = 2) uniform vec4 area;  // centre x, height, centre z, half extent
uniform vec3 light_direction;
uniform mat4 light_view_projection;
uniform sampler2DShadow shadow_map;
uniform int shadow_map_ready;
#if defined(VERTEX_STAGE)
out vec3 world;
void ground_vertex() {
    const vec2 corners[6] = vec2[6](vec2(-1, -1), vec2(1, -1), vec2(1, 1), vec2(-1, -1), vec2(1, 1), vec2(-1, 1));
    const vec2 c = corners[gl_VertexID];
    world = vec3(area.x + c.x * area.w, area.y, area.z + c.y * area.w);
    gl_Position = transform * vec4(world, 1.0);
}
#endif
#if defined(FRAGMENT_STAGE)
in vec3 world;
layout(location = 0) out vec4 out_colour;
layout(location = 1) out vec4 out_motion;
// The share of the light reaching p (normal n): 1 lit, 0 shadowed; 1 outside the shadow map.
float light_reaching(vec3 p, vec3 n) {
    if (shadow_map_ready == 0) return 1.0;
    const vec3 across = vec3(light_view_projection[0][0], light_view_projection[1][0], light_view_projection[2][0]);
    const float size = float(textureSize(shadow_map, 0).x);
    const float texel = 2.0 / (length(across) * size);
    const vec4 clip = light_view_projection * vec4(p + n * (1.5 * texel), 1.0);
    const vec3 at = clip.xyz / clip.w * 0.5 + 0.5;
    if (any(lessThan(at.xy, vec2(0.0))) || any(greaterThan(at.xy, vec2(1.0)))) return 1.0;
    const float depth = min(at.z, 1.0) - 0.0005;
    float sum = 0.0;
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x) sum += texture(shadow_map, vec3(at.xy + vec2(x, y) / size, depth));
    return sum / 9.0;
}
void ground_fragment() {
    const vec3 up = vec3(0.0, 1.0, 0.0);
    const float lambert = max(dot(up, light_direction), 0.0);
    out_colour = vec4(colour.rgb * (0.35 + 0.75 * lambert * light_reaching(world, up)), 1.0);
    out_motion = vec4(0.0);
}
#endif
)";

// Errors of GL calls (a fault of the back-end or of its use) go to the host's log; shader compiler
// messages are reported with the shader that caused them.
void APIENTRY report_error(GLenum source, GLenum type, GLuint, GLenum, GLsizei, const GLchar* message, const void*) {
    if (source == GL_DEBUG_SOURCE_API && type == GL_DEBUG_TYPE_ERROR)
        orn_logf("RENDER", 8, "OpenGL error: %s", message);
}

bool is_integer_input(uint32_t type) {
    switch (type) {
    case GL_INT: case GL_INT_VEC2: case GL_INT_VEC3: case GL_INT_VEC4:
    case GL_UNSIGNED_INT: case GL_UNSIGNED_INT_VEC2: case GL_UNSIGNED_INT_VEC3: case GL_UNSIGNED_INT_VEC4:
        return true;
    default:
        return false;
    }
}

// A float given to an integer uniform: rounded towards zero, clamped to the int range (NaN gives 0).
int to_int(float f) {
    if (!(f == f)) return 0;
    if (f >= 2147483520.0f) return 2147483647;
    if (f <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int>(f);
}

const char* value_kind_name(int kind) {
    static const char* const names[] = {"buffer", "texture", "float", "int", "matrix"};
    return names[kind];
}

}  // namespace

GlDevice::GlDevice(std::shared_ptr<GlThread> thread) : _thread(std::move(thread)), _owner(_thread->serial()) {}

GlDevice::~GlDevice() {
    _shader.reset();
    _recorded = Bindings();
    _committed = Bindings();
    _lines.reset();
    _ground.reset();
    if (_framebuffer) glDeleteFramebuffers(1, &_framebuffer);
    glDeleteTextures(3, _targets);
    if (_shadow_framebuffer) glDeleteFramebuffers(1, &_shadow_framebuffer);
    if (_shadow_map) glDeleteTextures(1, &_shadow_map);
    if (_vao) glDeleteVertexArrays(1, &_vao);
    if (_line_vao) glDeleteVertexArrays(1, &_line_vao);
    if (_line_buffer) glDeleteBuffers(1, &_line_buffer);
}

bool GlDevice::init(int width, int height, int shadow_size, std::string& error) {
    _renderer = std::string(reinterpret_cast<const char*>(glGetString(GL_RENDERER))) + " | " +
                reinterpret_cast<const char*>(glGetString(GL_VERSION));
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &_max_texture_size);
    glGetIntegerv(GL_MAX_ARRAY_TEXTURE_LAYERS, &_max_texture_layers);
    for (GLuint i = 0; i < 3; ++i) {
        GLint count = 0;
        glGetIntegeri_v(GL_MAX_COMPUTE_WORK_GROUP_COUNT, i, &count);
        _max_groups[i] = static_cast<uint32_t>(std::max(count, 0));
    }

    glEnable(GL_DEBUG_OUTPUT);
    glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
    glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DONT_CARE, 0, nullptr, GL_FALSE);
    glDebugMessageControl(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_ERROR, GL_DONT_CARE, 0, nullptr, GL_TRUE);
    glDebugMessageCallback(report_error, nullptr);

    GLint max_size = 0;
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &max_size);
    _width = std::clamp(width, 1, std::min(max_size, _max_texture_size));
    _height = std::clamp(height, 1, std::min(max_size, _max_texture_size));
    if (_width != width || _height != height)
        orn_logf("RENDER", 16, "OpenGL back-end: framebuffer of %d x %d made %d x %d", width, height, _width, _height);
    const GLenum formats[3] = {GL_RGBA8, GL_RG16F, GL_DEPTH_COMPONENT32F};
    glCreateTextures(GL_TEXTURE_2D, 3, _targets);
    for (int i = 0; i < 3; ++i) glTextureStorage2D(_targets[i], 1, formats[i], _width, _height);
    glCreateFramebuffers(1, &_framebuffer);
    glNamedFramebufferTexture(_framebuffer, GL_COLOR_ATTACHMENT0, _targets[0], 0);
    glNamedFramebufferTexture(_framebuffer, GL_COLOR_ATTACHMENT1, _targets[1], 0);
    glNamedFramebufferTexture(_framebuffer, GL_DEPTH_ATTACHMENT, _targets[2], 0);
    const GLenum draw_buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
    glNamedFramebufferDrawBuffers(_framebuffer, 2, draw_buffers);
    if (glCheckNamedFramebufferStatus(_framebuffer, GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        error = "the off-screen framebuffer is incomplete";
        return false;
    }

    // The shadow map: depth compared against a reference by its sampler; outside it, all is lit.
    _shadow_size = std::clamp(shadow_size, 1, _max_texture_size);
    if (_shadow_size != shadow_size)
        orn_logf("RENDER", 16, "OpenGL back-end: shadow map of %d made %d", shadow_size, _shadow_size);
    const GLfloat lit_border[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    glCreateTextures(GL_TEXTURE_2D, 1, &_shadow_map);
    glTextureStorage2D(_shadow_map, 1, GL_DEPTH_COMPONENT32F, _shadow_size, _shadow_size);
    glTextureParameteri(_shadow_map, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTextureParameteri(_shadow_map, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTextureParameteri(_shadow_map, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_BORDER);
    glTextureParameteri(_shadow_map, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_BORDER);
    glTextureParameterfv(_shadow_map, GL_TEXTURE_BORDER_COLOR, lit_border);
    glTextureParameteri(_shadow_map, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
    glTextureParameteri(_shadow_map, GL_TEXTURE_COMPARE_FUNC, GL_LEQUAL);
    glCreateFramebuffers(1, &_shadow_framebuffer);
    glNamedFramebufferTexture(_shadow_framebuffer, GL_DEPTH_ATTACHMENT, _shadow_map, 0);
    glNamedFramebufferDrawBuffer(_shadow_framebuffer, GL_NONE);
    glNamedFramebufferReadBuffer(_shadow_framebuffer, GL_NONE);
    if (glCheckNamedFramebufferStatus(_shadow_framebuffer, GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        error = "the shadow map's framebuffer is incomplete";
        return false;
    }
    const GLfloat far_depth = 1.0f;
    glClearNamedFramebufferfv(_shadow_framebuffer, GL_DEPTH, 0, &far_depth);
    _light_direction.set(0.0f, 1.0f, 0.0f);
    _light_view_projection.makeIdentity();

    glBindFramebuffer(GL_FRAMEBUFFER, _framebuffer);
    glViewport(0, 0, _width, _height);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glCreateVertexArrays(1, &_vao);

    EffectFile effect;
    std::string parse_error;
    if (effect.parse(LINE_EFFECT, parse_error))
        _lines = GlShader::build("(debug lines)", {}, effect, _line_handles, _thread);
    if (!_lines) {
        error = "the debug-line shader does not build";
        return false;
    }
    if (effect.parse(GROUND_EFFECT, parse_error))
        _ground = GlShader::build("(ground)", {}, effect, _ground_handles, _thread);
    if (!_ground) {
        error = "the ground shader does not build";
        return false;
    }
    glCreateBuffers(1, &_line_buffer);
    glCreateVertexArrays(1, &_line_vao);
    glVertexArrayVertexBuffer(_line_vao, 0, _line_buffer, 0, sizeof(osg::Vec3f));
    glVertexArrayAttribFormat(_line_vao, 0, 3, GL_FLOAT, GL_FALSE, 0);
    glVertexArrayAttribBinding(_line_vao, 0, 0);
    glEnableVertexArrayAttrib(_line_vao, 0);
    begin_frame(osg::Vec4f(0, 0, 0, 1));
    return true;
}

void GlDevice::warn_once(const std::string& text) {
    if (_warned.insert(text).second) orn_logf("RENDER", 8, "%s", text.c_str());
}

// ---- techniques and bindings ----

void GlDevice::begin_technique(std::shared_ptr<GlShader> shader, TechniqueHandle technique, int pass) {
    if (shader && shader->owner() != _owner) {
        warn_once("shader '" + shader->file() + "' belongs to another OpenGL back-end");
        shader.reset();
    }
    _shader = std::move(shader);
    _technique = technique;
    _pass = pass;
    _applied = nullptr;
}

void GlDevice::bind_buffer(VariableHandle variable, StructuredBuffer buffer) {
    if (variable < 0) return;
    Value& v = _recorded.values[variable];
    v = Value();
    v.kind = Value::BUFFER;
    v.buffer = std::move(buffer);
}

void GlDevice::bind_texture(VariableHandle variable, TextureArrayPtr texture) {
    if (variable < 0) return;
    Value& v = _recorded.values[variable];
    v = Value();
    v.kind = Value::TEXTURE;
    v.texture = std::move(texture);
}

void GlDevice::set_float(VariableHandle variable, float value) {
    if (variable < 0) return;
    Value& v = _recorded.values[variable];
    v = Value();
    v.kind = Value::FLOAT;
    v.f = value;
}

void GlDevice::set_int(VariableHandle variable, int value) {
    if (variable < 0) return;
    Value& v = _recorded.values[variable];
    v = Value();
    v.kind = Value::INT;
    v.i = value;
}

void GlDevice::set_matrix(VariableHandle variable, const osg::Matrixf& value) {
    if (variable < 0) return;
    Value& v = _recorded.values[variable];
    v = Value();
    v.kind = Value::MATRIX;
    v.m = value;
}

void GlDevice::bind_vertex_buffer(ElementHandle element, StructuredBuffer buffer) {
    if (element < 0) return;
    _recorded.vertices[element] = std::move(buffer);
}

void GlDevice::bind_index_buffer(StructuredBuffer buffer) { _recorded.indices = std::move(buffer); }

void GlDevice::commit() {
    _committed = _recorded;
    _applied = nullptr;
    if (!_shader) return;
    if (const GlShader::Program* program = _shader->program(_technique, _pass)) {
        apply(*program);
        _applied = program;
    }
}

void GlDevice::end_pass() {
    _shader.reset();
    _technique = -1;
    _pass = 0;
    _recorded = Bindings();
    _committed = Bindings();
    _applied = nullptr;
}

uint32_t GlDevice::buffer_name(const StructuredBuffer& buffer) {
    if (!buffer) return 0;
    auto gl = std::dynamic_pointer_cast<GlBuffer>(buffer);
    if (!gl || gl->owner() != _owner) {
        warn_once("buffer '" + buffer->tag() + "' was not made by this OpenGL back-end");
        return 0;
    }
    return gl->name();
}

uint32_t GlDevice::texture_name(const TextureArrayPtr& texture) {
    if (!texture) return 0;
    auto gl = std::dynamic_pointer_cast<GlTextureArray>(texture);
    if (!gl || gl->owner() != _owner) {
        warn_once("a texture array was not made by this OpenGL back-end");
        return 0;
    }
    return gl->texture();
}

void GlDevice::apply(const GlShader::Program& program) {
    for (const auto& binding : _committed.values) {
        auto slot = program.slots.find(binding.first);
        if (slot != program.slots.end()) apply_value(program, slot->second, binding.first, binding.second);
    }
    if (!program.compute) apply_vertices(program);
}

void GlDevice::apply_value(const GlShader::Program& program, const GlShader::Slot& slot, VariableHandle handle,
                           const Value& value) {
    const GLuint name = program.name;
    bool applied = true;
    switch (slot.kind) {
    case GlShader::SLOT_BLOCK:
        applied = value.kind == Value::BUFFER;
        if (applied) glBindBufferBase(GL_SHADER_STORAGE_BUFFER, slot.binding, buffer_name(value.buffer));
        break;
    case GlShader::SLOT_SAMPLER:
        applied = value.kind == Value::TEXTURE;
        if (applied) glBindTextureUnit(slot.binding, texture_name(value.texture));
        break;
    case GlShader::SLOT_UNIFORM:
        if (value.kind == Value::FLOAT || value.kind == Value::INT) {
            const float f = value.kind == Value::FLOAT ? value.f : static_cast<float>(value.i);
            const int i = value.kind == Value::INT ? value.i : to_int(value.f);
            switch (slot.type) {
            case GL_FLOAT: glProgramUniform1f(name, slot.location, f); break;
            case GL_INT: glProgramUniform1i(name, slot.location, i); break;
            default: applied = false;
            }
        } else {
            // The matrix is uploaded as it lies in memory: its rows become GLSL columns, so that
            // `matrix * vector` in a shader applies the row-vector transform to a column vector.
            applied = value.kind == Value::MATRIX && slot.type == GL_FLOAT_MAT4;
            if (applied) glProgramUniformMatrix4fv(name, slot.location, 1, GL_FALSE, value.m.ptr());
        }
        break;
    }
    if (!applied)
        warn_once("shader '" + _shader->file() + "': variable '" + _shader->variable_name(handle) +
                  "' can not take a " + value_kind_name(value.kind));
}

void GlDevice::apply_vertices(const GlShader::Program& program) {
    std::set<int> enabled;
    for (const auto& binding : _committed.vertices) {
        auto input = program.inputs.find(binding.first);
        if (input == program.inputs.end() || !binding.second) continue;
        const GLuint buffer = buffer_name(binding.second);
        auto gl = std::dynamic_pointer_cast<GlBuffer>(binding.second);
        if (!buffer || !gl) continue;
        const GLuint location = static_cast<GLuint>(input->second.location);
        if (gl->format() == EF_FLOAT3) {
            glVertexArrayAttribFormat(_vao, location, 3, GL_FLOAT, GL_FALSE, 0);
        } else if (gl->format() == EF_FLOAT4_UBYTE4) {
            // Four bytes per vertex: unsigned integers for an integer input, their values as floats
            // for a float input. A 20-byte record is a skinning record: four float weights for a float
            // input, then the four bytes (at byte 16) for an integer input.
            const bool skin = gl->element_size() >= 20;
            if (is_integer_input(input->second.type))
                glVertexArrayAttribIFormat(_vao, location, 4, GL_UNSIGNED_BYTE, skin ? 16 : 0);
            else if (skin) glVertexArrayAttribFormat(_vao, location, 4, GL_FLOAT, GL_FALSE, 0);
            else glVertexArrayAttribFormat(_vao, location, 4, GL_UNSIGNED_BYTE, GL_FALSE, 0);
        } else {
            warn_once("buffer '" + gl->tag() + "' is not a vertex buffer");
            continue;
        }
        glVertexArrayVertexBuffer(_vao, location, buffer, 0, static_cast<GLsizei>(gl->element_size()));
        glVertexArrayAttribBinding(_vao, location, location);
        glEnableVertexArrayAttrib(_vao, location);
        enabled.insert(static_cast<int>(location));
    }
    for (int location : _enabled_inputs)
        if (!enabled.count(location)) glDisableVertexArrayAttrib(_vao, static_cast<GLuint>(location));
    _enabled_inputs = std::move(enabled);
    glVertexArrayElementBuffer(_vao, buffer_name(_committed.indices));
}

const GlShader::Program* GlDevice::pass_program(int pass) {
    // Nothing begun (or a shader that failed to open, which was reported then): nothing to run.
    if (!_shader || _technique < 0) return nullptr;
    const GlShader::Program* program = _shader->program(_technique, pass);
    if (!program) {
        const std::string technique = _shader->technique_name(_technique);
        warn_once("shader '" + _shader->file() + "': " +
                  (technique.empty() ? std::string("technique handle ") + std::to_string(_technique) +
                                           " is not one of its techniques"
                                     : "technique '" + technique + "' has no pass " + std::to_string(pass)));
    }
    return program;
}

// ---- work ----

void GlDevice::dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) {
    const GlShader::Program* program = pass_program(pass);
    if (!program) return;
    if (!program->compute) {
        warn_once("shader '" + _shader->file() + "': pass " + std::to_string(pass) + " of technique '" +
                  _shader->technique_name(_technique) + "' is not a compute pass");
        return;
    }
    if (x > _max_groups[0] || y > _max_groups[1] || z > _max_groups[2]) {
        orn_logf("RENDER", 8, "shader '%s': dispatch of %u x %u x %u groups is more than the driver allows",
                 _shader->file().c_str(), x, y, z);
        return;
    }
    if (x == 0 || y == 0 || z == 0) return;
    if (_applied != program) {
        apply(*program);
        _applied = program;
    }
    apply_host_uniforms(*program);
    glUseProgram(program->name);
    glDispatchCompute(x, y, z);
    // Whatever reads the results next (a pass, a draw, a read-back) sees them.
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
}

void GlDevice::draw_indexed_instanced(uint32_t index_count, uint32_t instance_count) {
    const GlShader::Program* program = pass_program(_pass);
    if (!program || index_count == 0 || instance_count == 0) return;
    if (program->compute) {
        warn_once("shader '" + _shader->file() + "': pass " + std::to_string(_pass) + " of technique '" +
                  _shader->technique_name(_technique) + "' is a compute pass, it does not draw");
        return;
    }
    auto indices = std::dynamic_pointer_cast<GlBuffer>(_committed.indices);
    if (!indices || !buffer_name(indices)) {
        warn_once("shader '" + _shader->file() + "': a draw without an index buffer");
        return;
    }
    if (static_cast<uint64_t>(index_count) * 4 > indices->byte_size()) {
        orn_logf("RENDER", 8, "shader '%s': draw of %u indices from an index buffer of %u", _shader->file().c_str(),
                 index_count, indices->capacity());
        return;
    }
    if (_applied != program) {
        apply(*program);
        _applied = program;
    }
    apply_host_uniforms(*program);
    bind_target();
    glUseProgram(program->name);
    glBindVertexArray(_vao);
    glDrawElementsInstanced(GL_TRIANGLES, static_cast<GLsizei>(index_count), GL_UNSIGNED_INT, nullptr,
                            static_cast<GLsizei>(instance_count));
    glBindVertexArray(0);
}

void GlDevice::draw_lines(const std::vector<osg::Vec3f>& points, const osg::Matrixf& transform,
                          const osg::Vec4f& colour, unsigned pattern, bool depth_test) {
    if (points.size() < 2 || pattern == 0) return;
    const GlShader::Program* program = _lines->program(_lines->getTechnique("Lines"), 0);
    const osg::Matrixf combined = transform * _view_projection;
    glProgramUniformMatrix4fv(program->name, 0, 1, GL_FALSE, combined.ptr());  // locations of LINE_EFFECT
    glProgramUniform4fv(program->name, 1, 1, colour.ptr());
    glNamedBufferData(_line_buffer, static_cast<GLsizeiptr>(points.size() * sizeof(osg::Vec3f)), points.data(),
                      GL_STREAM_DRAW);
    if (!depth_test) glDisable(GL_DEPTH_TEST);
    bind_framebuffer();  // the picture's, even while the shadow map is drawn
    glUseProgram(program->name);
    glBindVertexArray(_line_vao);
    glDrawArrays(GL_LINE_STRIP, 0, static_cast<GLsizei>(points.size()));
    glBindVertexArray(0);
    glEnable(GL_DEPTH_TEST);
}

void GlDevice::draw_ground(const osg::Matrixf& view_projection, const osg::Vec3f& centre, float half_extent,
                           const osg::Vec4f& colour) {
    if (!(half_extent > 0.0f)) return;
    const GlShader::Program* program = _ground->program(_ground->getTechnique("Ground"), 0);
    const GLfloat area[4] = {centre.x(), centre.y(), centre.z(), half_extent};
    glProgramUniformMatrix4fv(program->name, 0, 1, GL_FALSE, view_projection.ptr());  // locations of GROUND_EFFECT
    glProgramUniform4fv(program->name, 1, 1, colour.ptr());
    glProgramUniform4fv(program->name, 2, 1, area);
    apply_host_uniforms(*program);
    bind_target();
    glUseProgram(program->name);
    glBindVertexArray(_line_vao);  // no inputs: the corners come from the vertex index
    // Under everything, without depth: whatever lies on it (a flat shadow a centimetre up, far away
    // where depth is coarse) is drawn over it.
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glDepthMask(GL_TRUE);
    glEnable(GL_DEPTH_TEST);
    glBindVertexArray(0);
}

// ---- light and shadow map ----

void GlDevice::set_light(const osg::Vec3f& towards_light, const osg::Matrixf& view_projection) {
    _light_direction = towards_light;
    if (!_light_direction.valid() || _light_direction.normalize() == 0.0f) _light_direction.set(0.0f, 1.0f, 0.0f);
    _light_view_projection = view_projection;
}

void GlDevice::begin_shadow_map() {
    const GLfloat far_depth = 1.0f;
    glDepthMask(GL_TRUE);
    glClearNamedFramebufferfv(_shadow_framebuffer, GL_DEPTH, 0, &far_depth);
    _into_shadow_map = true;
    _shadow_drawn = true;
    _shadow_ready = false;
}

void GlDevice::apply_host_uniforms(const GlShader::Program& program) {
    const int* at = program.host_locations;
    const GLuint name = program.name;
    if (at[GlShader::LIGHT_DIRECTION] >= 0)
        glProgramUniform3fv(name, at[GlShader::LIGHT_DIRECTION], 1, _light_direction.ptr());
    if (at[GlShader::LIGHT_VIEW_PROJECTION] >= 0)
        glProgramUniformMatrix4fv(name, at[GlShader::LIGHT_VIEW_PROJECTION], 1, GL_FALSE, _light_view_projection.ptr());
    // While the shadow map is drawn it is not sampled.
    const bool ready = _shadow_ready && !_into_shadow_map;
    if (at[GlShader::SHADOW_MAP_READY] >= 0) glProgramUniform1i(name, at[GlShader::SHADOW_MAP_READY], ready ? 1 : 0);
    if (at[GlShader::SHADOW_MAP] >= 0) glBindTextureUnit(program.shadow_unit, ready ? _shadow_map : 0);
}

void GlDevice::bind_target() {
    if (_into_shadow_map) {
        glBindFramebuffer(GL_FRAMEBUFFER, _shadow_framebuffer);
        glViewport(0, 0, _shadow_size, _shadow_size);
        // Depths pushed back by the surface's slope keep lit surfaces from shadowing themselves.
        glEnable(GL_POLYGON_OFFSET_FILL);
        glPolygonOffset(1.5f, 2.0f);
    } else {
        bind_framebuffer();
        glDisable(GL_POLYGON_OFFSET_FILL);
    }
}

// ---- framebuffer ----

void GlDevice::bind_framebuffer() {
    glBindFramebuffer(GL_FRAMEBUFFER, _framebuffer);
    glViewport(0, 0, _width, _height);
}

void GlDevice::begin_frame(const osg::Vec4f& clear_colour) {
    const GLfloat none[4] = {0, 0, 0, 0};
    const GLfloat far_depth = 1.0f;
    _into_shadow_map = false;
    _shadow_ready = _shadow_drawn;
    _shadow_drawn = false;
    bind_framebuffer();
    glDepthMask(GL_TRUE);
    glClearNamedFramebufferfv(_framebuffer, GL_COLOR, 0, clear_colour.ptr());
    glClearNamedFramebufferfv(_framebuffer, GL_COLOR, 1, none);
    glClearNamedFramebufferfv(_framebuffer, GL_DEPTH, 0, &far_depth);
}

void GlDevice::read_texture(uint32_t texture, int width, int height, uint32_t format, uint32_t type,
                            size_t pixel_bytes, void* out) {
    const size_t row = static_cast<size_t>(width) * pixel_bytes;
    std::vector<uint8_t> pixels(row * static_cast<size_t>(height));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTextureImage(texture, 0, format, type, static_cast<GLsizei>(pixels.size()), pixels.data());
    // GL's first row is the bottom one.
    auto* rows = static_cast<uint8_t*>(out);
    for (int y = 0; y < height; ++y)
        std::memcpy(rows + row * static_cast<size_t>(y), pixels.data() + row * static_cast<size_t>(height - 1 - y),
                    row);
}

void GlDevice::read_colour(std::vector<uint8_t>& out) {
    out.resize(static_cast<size_t>(_width) * _height * 4);
    read_texture(_targets[0], _width, _height, GL_RGBA, GL_UNSIGNED_BYTE, 4, out.data());
}

void GlDevice::read_motion(std::vector<float>& out) {
    out.resize(static_cast<size_t>(_width) * _height * 2);
    read_texture(_targets[1], _width, _height, GL_RG, GL_FLOAT, 2 * sizeof(float), out.data());
}

void GlDevice::read_shadow_map(std::vector<float>& out) {
    out.resize(static_cast<size_t>(_shadow_size) * _shadow_size);
    read_texture(_shadow_map, _shadow_size, _shadow_size, GL_DEPTH_COMPONENT, GL_FLOAT, sizeof(float), out.data());
}

}  // namespace render
