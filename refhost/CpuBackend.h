// Recording renderer back-end: keeps every resource it creates and every call it receives, in order,
// so that tests (and a host run without a GPU) can inspect what was asked of the renderer. Nothing is
// drawn; dispatches of the animation compute shader ("animator/animation_compute.fx") are evaluated
// in C++ on the bound buffers (CpuAnimationCompute), so model-space matrices are real here too.
//
// Handles: techniques, variables and vertex elements get handles from three back-end wide counters;
// a name asked again from the same shader gets the same handle, so a handle names one (shader, name)
// pair and commands can carry the name it stands for.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/Render.h"

namespace render {

class CpuBackend;
struct CpuRecorder;

// A buffer held in memory: element_size() * capacity() bytes, zero where never written.
class CpuBuffer : public Buffer, public std::enable_shared_from_this<CpuBuffer> {
public:
    CpuBuffer(std::weak_ptr<CpuRecorder> recorder, uint64_t serial, BufferKind kind, uint32_t element_size,
              uint32_t capacity, int usage, std::string tag);
    BufferKind kind() const override { return _kind; }
    uint32_t element_size() const override { return _element_size; }
    uint32_t capacity() const override { return _capacity; }
    int usage() const override { return _usage; }
    const std::string& tag() const override { return _tag; }
    bool update(const void* data, size_t bytes, size_t offset = 0) override;
    bool read(void* out, size_t bytes, size_t offset = 0) const override;

    uint64_t serial() const { return _serial; }  // creation number within its back-end, from 1
    size_t byte_size() const { return _bytes.size(); }
    std::vector<uint8_t> contents() const;
    // The contents read as an array of T (the trailing bytes that do not fill a T are left out).
    template <class T> std::vector<T> as() const {
        std::vector<uint8_t> bytes = contents();
        std::vector<T> out(bytes.size() / sizeof(T));
        if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
        return out;
    }
    int update_count() const;  // successful update() calls
    // Vertex buffers: the element and format they were created with (-1 for other kinds).
    ElementHandle element() const { return _element; }
    int format() const { return _format; }

private:
    friend class CpuBackend;
    std::weak_ptr<CpuRecorder> _recorder;
    uint64_t _serial;
    BufferKind _kind;
    uint32_t _element_size;
    uint32_t _capacity;
    int _usage;
    std::string _tag;
    ElementHandle _element = -1;
    int _format = -1;
    mutable std::mutex _mutex;
    std::vector<uint8_t> _bytes;
    uint64_t _version;  // a new number, never given before, at every change of _bytes
    int _updates = 0;
};

class CpuShader : public Shader {
public:
    CpuShader(std::weak_ptr<CpuRecorder> recorder, uint32_t id, std::string file, ShaderDefines defines);
    const std::string& file() const override { return _file; }
    const ShaderDefines& defines() const override { return _defines; }
    uint32_t id() const override { return _id; }
    TechniqueHandle getTechnique(const char* name) override;
    VariableHandle getVariable(const char* name) override;
    ElementHandle getElement(const char* name) override;
    // The value of a define, or empty when the shader was opened without it.
    std::string define(const std::string& name) const;

private:
    std::weak_ptr<CpuRecorder> _recorder;
    uint32_t _id;
    std::string _file;
    ShaderDefines _defines;
};

class CpuTextureArray : public TextureArray {
public:
    CpuTextureArray(std::vector<std::string> names, std::string name, std::string tag)
        : _names(std::move(names)), _name(std::move(name)), _tag(std::move(tag)) {}
    const std::vector<std::string>& names() const override { return _names; }
    int layers() const override { return static_cast<int>(_names.size()); }
    const std::string& name() const { return _name; }
    const std::string& tag() const { return _tag; }
private:
    std::vector<std::string> _names;
    std::string _name;
    std::string _tag;
};

// One call received by the back-end. Fields that a type does not use keep their defaults.
struct Command {
    enum Type : int {
        BeginTechnique,        // shader, handle (technique), name, pass
        BindBuffer,            // handle (variable), name, buffer
        BindTexture,           // handle (variable), name, texture
        SetFloat,              // handle (variable), name, f
        SetInt,                // handle (variable), name, i
        SetMatrix,             // handle (variable), name, matrix
        BindVertexBuffer,      // handle (element), name, buffer
        BindIndexBuffer,       // buffer
        UpdateBuffer,          // buffer, offset, bytes (a successful Buffer::update)
        Commit,
        Dispatch,              // pass, x, y, z
        DrawIndexedInstanced,  // x = index count, y = instance count
        EndPass,
        DrawLines,             // points, matrix (transform), color, pattern, depth_test
    };
    Type type = Commit;
    std::shared_ptr<CpuShader> shader;  // the shader of the technique begun last (null before any)
    int handle = -1;
    std::string name;                   // what `handle` stands for; empty when it is not one of ours
    int pass = 0;
    StructuredBuffer buffer;
    TextureArrayPtr texture;
    float f = 0.0f;
    int i = 0;
    osg::Matrixf matrix;
    uint32_t x = 0, y = 0, z = 0;
    size_t offset = 0, bytes = 0;
    std::vector<osg::Vec3f> points;
    osg::Vec4f color;
    unsigned pattern = 0;
    bool depth_test = false;
};

const char* command_type_name(Command::Type type);

class CpuBackend : public Backend {
public:
    CpuBackend();
    ~CpuBackend() override;

    // ---- Backend ----
    // Opens any non-empty file name (unless told to fail it with fail_shader).
    ShaderPtr openShader(const char* file, const ShaderDefines& defines) override;
    // Data longer than element_size * count is cut to fit, with a logged error.
    StructuredBuffer createStructuredBuffer(uint32_t element_size, uint32_t count, int usage, const void* data,
                                            size_t bytes, const char* tag) override;
    StructuredBuffer createVertexBuffer(ElementHandle element, int format, const void* data, uint32_t vertex_count,
                                        uint32_t vertex_size) override;
    StructuredBuffer createIndexBuffer(const uint32_t* indices, uint32_t count) override;
    // Opens when at least one name is not empty (and texture arrays are available).
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
    void dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) override;
    void drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) override;
    void endPass() override;
    void drawLines(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform, const osg::Vec4f& color,
                   unsigned pattern, bool depth_test) override;

    // ---- inspection (thread-safe; each answers a copy) ----
    std::vector<Command> commands() const;
    std::vector<Command> commands(Command::Type type) const;
    size_t count(Command::Type type) const;
    // Buffers still alive, in creation order, and how many were ever created.
    std::vector<std::shared_ptr<CpuBuffer>> buffers() const;
    std::vector<std::shared_ptr<CpuBuffer>> buffers_tagged(const std::string& tag) const;
    uint64_t buffers_created() const;
    // Every shader opened, in order (kept alive by the back-end).
    std::vector<std::shared_ptr<CpuShader>> shaders() const;
    // Texture arrays still alive, in creation order.
    std::vector<std::shared_ptr<CpuTextureArray>> texture_arrays() const;
    // The name a handle was given (empty when it is not one of this back-end's handles).
    std::string technique_name(TechniqueHandle handle) const;
    std::string variable_name(VariableHandle handle) const;
    std::string element_name(ElementHandle handle) const;

    // Drops the recorded commands (and the references they hold); the host program calls it every
    // frame when it runs on this back-end.
    void clear();
    // Drops commands and the records of shaders, buffers and texture arrays (handles stay valid).
    void reset();

    // ---- failure injection ----
    void fail_shader(const std::string& file);  // openShader of this file answers null from now on
    void set_texture_arrays_available(bool available);

private:
    std::shared_ptr<CpuRecorder> _rec;
};

}  // namespace render
