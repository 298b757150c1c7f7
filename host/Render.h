// Host renderer: shaders with techniques and variables, structured, vertex and index buffers, texture
// arrays, compute dispatch, instanced drawing and debug lines. Calls go to the back-end the host
// installed (a recording CPU back-end, or OpenGL).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <osg/Matrixf>
#include <osg/Vec3f>
#include <osg/Vec4f>

namespace render {

struct ShaderDefine {
    std::string name;
    std::string value;
};
using ShaderDefines = std::vector<ShaderDefine>;

using TechniqueHandle = int;  // -1: not found
using VariableHandle = int;   // -1: not found
using ElementHandle = int;    // -1: not found

enum BufferKind : int { BK_STRUCTURED = 0, BK_VERTEX = 1, BK_INDEX = 2 };

// A GPU buffer of fixed-size elements; keeps its contents until updated.
class Buffer {
public:
    virtual ~Buffer() = default;
    virtual BufferKind kind() const = 0;
    virtual uint32_t element_size() const = 0;
    virtual uint32_t capacity() const = 0;  // in elements
    virtual int usage() const = 0;
    virtual const std::string& tag() const = 0;
    // Writes `bytes` bytes at `offset` bytes; false when that does not fit.
    virtual bool update(const void* data, size_t bytes, size_t offset = 0) = 0;
    // Reads `bytes` bytes from `offset` bytes into `out` (waiting for the GPU work that writes the
    // buffer); false when that does not fit. For tests and tools, not for a frame's hot path.
    virtual bool read(void* out, size_t bytes, size_t offset = 0) const = 0;
};
using StructuredBuffer = std::shared_ptr<Buffer>;

class TextureArray {
public:
    virtual ~TextureArray() = default;
    virtual const std::vector<std::string>& names() const = 0;
    virtual int layers() const = 0;
    // Null when none of the textures can be opened.
    static std::shared_ptr<TextureArray> open(const std::vector<std::string>& names, const char* name,
                                              const char* tag);
};
using TextureArrayPtr = std::shared_ptr<TextureArray>;

class Shader {
public:
    virtual ~Shader() = default;
    virtual const std::string& file() const = 0;
    virtual const ShaderDefines& defines() const = 0;
    virtual uint32_t id() const = 0;
    virtual TechniqueHandle getTechnique(const char* name) = 0;
    virtual VariableHandle getVariable(const char* name) = 0;
    virtual ElementHandle getElement(const char* name) = 0;  // vertex layout element
};
using ShaderPtr = std::shared_ptr<Shader>;

enum ElementFormat : int { EF_FLOAT3 = 0, EF_FLOAT4_UBYTE4 = 1 };

// What a back-end implements; RenderAPI forwards to the installed one.
class Backend {
public:
    virtual ~Backend() = default;
    virtual ShaderPtr openShader(const char* file, const ShaderDefines& defines) = 0;
    virtual StructuredBuffer createStructuredBuffer(uint32_t element_size, uint32_t count, int usage,
                                                    const void* data, size_t bytes, const char* tag) = 0;
    virtual StructuredBuffer createVertexBuffer(ElementHandle element, int format, const void* data,
                                                uint32_t vertex_count, uint32_t vertex_size) = 0;
    virtual StructuredBuffer createIndexBuffer(const uint32_t* indices, uint32_t count) = 0;
    virtual TextureArrayPtr openTextureArray(const std::vector<std::string>& names, const char* name,
                                             const char* tag) = 0;
    virtual void beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass) = 0;
    virtual void bindBuffer(VariableHandle variable, const StructuredBuffer& buffer) = 0;
    virtual void bindTexture(VariableHandle variable, const TextureArrayPtr& texture) = 0;
    virtual void setFloat(VariableHandle variable, float value) = 0;
    virtual void setInt(VariableHandle variable, int value) = 0;
    virtual void setMatrix(VariableHandle variable, const osg::Matrixf& value) = 0;
    virtual void bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer) = 0;
    virtual void bindIndexBuffer(const StructuredBuffer& buffer) = 0;
    virtual void commit() = 0;
    virtual void dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) = 0;
    virtual void drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) = 0;
    virtual void endPass() = 0;
    virtual void drawLines(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform,
                           const osg::Vec4f& color, unsigned pattern, bool depth_test) = 0;
};

// Installs the back-end all later calls go to (the host program does this at start-up).
void set_backend(std::shared_ptr<Backend> backend);
Backend* get_backend();

struct RenderAPI {
    // Null when the shader cannot be opened (the back-end logs why).
    static ShaderPtr openShader(const char* file, const ShaderDefines& defines);
    static StructuredBuffer createStructuredBuffer(uint32_t element_size, uint32_t count, int usage,
                                                   const void* data, size_t bytes, const char* tag);
    static StructuredBuffer createVertexBuffer(ElementHandle element, int format, const void* data,
                                               uint32_t vertex_count, uint32_t vertex_size);
    static StructuredBuffer createIndexBuffer(const uint32_t* indices, uint32_t count);
    static void beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass);
    static void bindBuffer(VariableHandle variable, const StructuredBuffer& buffer);
    static void bindTexture(VariableHandle variable, const TextureArrayPtr& texture);
    static void setFloat(VariableHandle variable, float value);
    static void setInt(VariableHandle variable, int value);
    static void setMatrix(VariableHandle variable, const osg::Matrixf& value);
    static void bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer);
    static void bindIndexBuffer(const StructuredBuffer& buffer);
    static void commit();
    static void dispatch(int pass, uint32_t x, uint32_t y, uint32_t z);
    static void drawIndexedInstanced(uint32_t index_count, uint32_t instance_count);
    static void endPass();
};

// Debug line drawing.
class RenderLine {
public:
    void render(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform, const osg::Vec4f& color,
                unsigned pattern, bool depth_test);
};

}  // namespace render
