// Effect passes compiled into GL programs (see GlShader.h).
#include "refhost/gl/GlShader.h"

#include <vector>

#include "host/Log.h"
#include "refhost/gl/EffectFile.h"
#include "refhost/gl/GlApi.h"
#include "refhost/gl/GlThread.h"

namespace render {

namespace {

const GLenum stage_types[] = {GL_COMPUTE_SHADER, GL_VERTEX_SHADER, GL_FRAGMENT_SHADER};

std::string shader_log(GLuint shader) {
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) glGetShaderInfoLog(shader, length, nullptr, &text[0]);
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string program_log(GLuint program) {
    GLint length = 0;
    glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) glGetProgramInfoLog(program, length, nullptr, &text[0]);
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string resource_name(GLuint program, GLenum interface, GLuint index) {
    GLint length = 0;
    const GLenum property = GL_NAME_LENGTH;
    glGetProgramResourceiv(program, interface, index, 1, &property, 1, nullptr, &length);
    std::string name(static_cast<size_t>(length > 0 ? length : 1), '\0');
    glGetProgramResourceName(program, interface, index, static_cast<GLsizei>(name.size()), nullptr, &name[0]);
    name.resize(std::char_traits<char>::length(name.c_str()));
    // An array is listed by its first element.
    if (name.size() > 3 && name.compare(name.size() - 3, 3, "[0]") == 0) name.resize(name.size() - 3);
    return name;
}

GLint active_resources(GLuint program, GLenum interface) {
    GLint count = 0;
    glGetProgramInterfaceiv(program, interface, GL_ACTIVE_RESOURCES, &count);
    return count;
}

// The uniform types a shader variable may have.
bool is_variable_type(GLenum type) {
    return type == GL_FLOAT || type == GL_INT || type == GL_FLOAT_MAT4 || type == GL_SAMPLER_2D_ARRAY;
}

const char* const HOST_UNIFORM_NAMES[GlShader::HOST_UNIFORMS] = {"light_direction", "light_view_projection",
                                                                 "shadow_map", "shadow_map_ready"};
const GLenum HOST_UNIFORM_TYPES[GlShader::HOST_UNIFORMS] = {GL_FLOAT_VEC3, GL_FLOAT_MAT4, GL_SAMPLER_2D_SHADOW,
                                                            GL_INT};

// The host uniform of this name, or -1.
int host_uniform(const std::string& name) {
    for (int u = 0; u < GlShader::HOST_UNIFORMS; ++u)
        if (name == HOST_UNIFORM_NAMES[u]) return u;
    return -1;
}

int handle_for(std::map<std::string, int>& names, std::atomic<int>& counter, const std::string& name) {
    auto it = names.find(name);
    if (it != names.end()) return it->second;
    const int handle = counter++;
    names.emplace(name, handle);
    return handle;
}

int find_handle(const std::map<std::string, int>& names, const char* name) {
    if (!name) return -1;
    auto it = names.find(name);
    return it == names.end() ? -1 : it->second;
}

// Compiles the stages of one pass and links them; 0 with the failure logged.
GLuint link_pass(const std::string& file, const ShaderDefines& defines, const EffectFile& effect,
                 const EffectFile::Pass& pass) {
    std::vector<GLuint> shaders;
    auto drop = [&shaders] {
        for (GLuint s : shaders) glDeleteShader(s);
    };
    for (const EffectFile::StageEntry& stage : pass.stages) {
        const std::string text = effect.stage_source(pass, stage, defines);
        const GLchar* source = text.c_str();
        const GLint length = static_cast<GLint>(text.size());
        GLuint shader = glCreateShader(stage_types[stage.stage]);
        shaders.push_back(shader);
        glShaderSource(shader, 1, &source, &length);
        glCompileShader(shader);
        GLint compiled = GL_FALSE;
        glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
        if (!compiled) {
            orn_logf("RENDER", 8, "shader file '%s', technique '%s', pass %d: the %s stage does not compile:\n%s",
                     file.c_str(), pass.technique.c_str(), pass.index, EffectFile::stage_name(stage.stage),
                     shader_log(shader).c_str());
            drop();
            return 0;
        }
    }
    GLuint program = glCreateProgram();
    for (GLuint s : shaders) glAttachShader(program, s);
    glLinkProgram(program);
    for (GLuint s : shaders) glDetachShader(program, s);
    drop();
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (!linked) {
        orn_logf("RENDER", 8, "shader file '%s', technique '%s', pass %d: the program does not link:\n%s", file.c_str(),
                 pass.technique.c_str(), pass.index, program_log(program).c_str());
        glDeleteProgram(program);
        return 0;
    }
    return program;
}

}  // namespace

GlShader::GlShader(std::string file, ShaderDefines defines, uint32_t id, std::weak_ptr<GlThread> thread,
                   uint64_t owner)
    : _file(std::move(file)), _defines(std::move(defines)), _id(id), _thread(std::move(thread)), _owner(owner) {}

std::shared_ptr<GlShader> GlShader::build(const std::string& file, const ShaderDefines& defines,
                                          const EffectFile& effect, Handles& handles,
                                          const std::shared_ptr<GlThread>& thread) {
    std::shared_ptr<GlShader> shader(new GlShader(file, defines, handles.shaders++, thread, thread->serial()));
    for (const EffectFile::Pass& pass : effect.passes()) {
        const GLuint name = link_pass(file, defines, effect, pass);
        if (!name) return nullptr;  // the programs linked so far go with `shader`

        const TechniqueHandle technique = handle_for(shader->_technique_handles, handles.techniques, pass.technique);
        Technique& t = shader->_techniques[technique];
        t.name = pass.technique;
        Program& program = t.passes[pass.index];
        program.name = name;
        program.compute = pass.stages.front().stage == EffectFile::COMPUTE;

        // Storage blocks take the binding point of their index.
        const GLint blocks = active_resources(name, GL_SHADER_STORAGE_BLOCK);
        for (GLint i = 0; i < blocks; ++i) {
            const GLuint index = static_cast<GLuint>(i);
            glShaderStorageBlockBinding(name, index, index);
            const VariableHandle handle =
                handle_for(shader->_variables, handles.variables, resource_name(name, GL_SHADER_STORAGE_BLOCK, index));
            program.slots[handle] = Slot{SLOT_BLOCK, index, -1, 0};
        }
        // Uniforms of the default block of the variable types; samplers take texture units in order.
        const GLint uniforms = active_resources(name, GL_UNIFORM);
        GLuint unit = 0;
        for (GLint i = 0; i < uniforms; ++i) {
            const GLenum properties[] = {GL_BLOCK_INDEX, GL_TYPE, GL_LOCATION};
            GLint values[3] = {-1, 0, -1};
            glGetProgramResourceiv(name, GL_UNIFORM, static_cast<GLuint>(i), 3, properties, 3, nullptr, values);
            const GLenum type = static_cast<GLenum>(values[1]);
            if (values[0] != -1 || values[2] < 0) continue;
            const std::string uniform = resource_name(name, GL_UNIFORM, static_cast<GLuint>(i));
            const int host = host_uniform(uniform);
            if (host >= 0) {
                if (type != HOST_UNIFORM_TYPES[host]) {
                    orn_logf("RENDER", 16,
                             "shader file '%s', technique '%s': '%s' is not of the type the host gives it",
                             file.c_str(), pass.technique.c_str(), uniform.c_str());
                    continue;
                }
                program.host_locations[host] = values[2];
                continue;
            }
            if (!is_variable_type(type)) continue;
            const VariableHandle handle = handle_for(shader->_variables, handles.variables, uniform);
            if (type == GL_SAMPLER_2D_ARRAY) {
                glProgramUniform1i(name, values[2], static_cast<GLint>(unit));
                program.slots[handle] = Slot{SLOT_SAMPLER, unit++, values[2], type};
            } else {
                program.slots[handle] = Slot{SLOT_UNIFORM, 0, values[2], type};
            }
        }
        // The shadow map takes the unit after the texture arrays.
        if (program.host_locations[SHADOW_MAP] >= 0) {
            program.shadow_unit = unit;
            glProgramUniform1i(name, program.host_locations[SHADOW_MAP], static_cast<GLint>(unit));
        }
        // Vertex inputs (built-in inputs have no location).
        if (!program.compute) {
            const GLint inputs = active_resources(name, GL_PROGRAM_INPUT);
            for (GLint i = 0; i < inputs; ++i) {
                const GLenum properties[] = {GL_TYPE, GL_LOCATION};
                GLint values[2] = {0, -1};
                glGetProgramResourceiv(name, GL_PROGRAM_INPUT, static_cast<GLuint>(i), 2, properties, 2, nullptr,
                                       values);
                if (values[1] < 0) continue;
                const ElementHandle handle = handle_for(shader->_elements, handles.elements,
                                                        resource_name(name, GL_PROGRAM_INPUT, static_cast<GLuint>(i)));
                program.inputs[handle] = Input{values[1], static_cast<uint32_t>(values[0])};
            }
        }
    }
    return shader;
}

GlShader::~GlShader() {
    std::vector<GLuint> programs;
    for (const auto& t : _techniques)
        for (const auto& p : t.second.passes) programs.push_back(p.second.name);
    if (programs.empty()) return;
    GlThread::dispose(_thread, [programs] {
        for (GLuint p : programs) glDeleteProgram(p);
    });
}

TechniqueHandle GlShader::getTechnique(const char* name) { return find_handle(_technique_handles, name); }
VariableHandle GlShader::getVariable(const char* name) { return find_handle(_variables, name); }
ElementHandle GlShader::getElement(const char* name) { return find_handle(_elements, name); }

const GlShader::Program* GlShader::program(TechniqueHandle technique, int pass) const {
    auto t = _techniques.find(technique);
    if (t == _techniques.end()) return nullptr;
    auto p = t->second.passes.find(pass);
    return p == t->second.passes.end() ? nullptr : &p->second;
}

std::string GlShader::technique_name(TechniqueHandle handle) const {
    auto t = _techniques.find(handle);
    return t == _techniques.end() ? std::string() : t->second.name;
}

std::string GlShader::variable_name(VariableHandle handle) const {
    for (const auto& v : _variables)
        if (v.second == handle) return v.first;
    return std::string();
}

}  // namespace render
