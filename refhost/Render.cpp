// Reference renderer front end: forwards every call to the installed back-end; without one, calls do
// nothing and creations answer null.
#include "host/Render.h"

#include <mutex>

namespace render {

namespace {

struct Installed {
    std::mutex mutex;
    std::shared_ptr<Backend> backend;
};

// Never destroyed: plug-in objects may release GPU resources or draw during static teardown.
Installed& installed() {
    static Installed* i = new Installed;
    return *i;
}

std::shared_ptr<Backend> backend() {
    Installed& i = installed();
    std::lock_guard<std::mutex> lock(i.mutex);
    return i.backend;
}

}  // namespace

void set_backend(std::shared_ptr<Backend> b) {
    std::shared_ptr<Backend> old;
    {
        Installed& i = installed();
        std::lock_guard<std::mutex> lock(i.mutex);
        old = std::move(i.backend);
        i.backend = std::move(b);
    }
    // `old` is released outside the lock: a back-end's destructor may log or free resources.
}

Backend* get_backend() { return backend().get(); }

ShaderPtr RenderAPI::openShader(const char* file, const ShaderDefines& defines) {
    auto b = backend();
    return b ? b->openShader(file, defines) : nullptr;
}

StructuredBuffer RenderAPI::createStructuredBuffer(uint32_t element_size, uint32_t count, int usage, const void* data,
                                                   size_t bytes, const char* tag) {
    auto b = backend();
    return b ? b->createStructuredBuffer(element_size, count, usage, data, bytes, tag) : nullptr;
}

StructuredBuffer RenderAPI::createVertexBuffer(ElementHandle element, int format, const void* data,
                                               uint32_t vertex_count, uint32_t vertex_size) {
    auto b = backend();
    return b ? b->createVertexBuffer(element, format, data, vertex_count, vertex_size) : nullptr;
}

StructuredBuffer RenderAPI::createIndexBuffer(const uint32_t* indices, uint32_t count) {
    auto b = backend();
    return b ? b->createIndexBuffer(indices, count) : nullptr;
}

void RenderAPI::beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass) {
    if (auto b = backend()) b->beginTechnique(shader, technique, pass);
}

void RenderAPI::bindBuffer(VariableHandle variable, const StructuredBuffer& buffer) {
    if (auto b = backend()) b->bindBuffer(variable, buffer);
}

void RenderAPI::bindTexture(VariableHandle variable, const TextureArrayPtr& texture) {
    if (auto b = backend()) b->bindTexture(variable, texture);
}

void RenderAPI::setFloat(VariableHandle variable, float value) {
    if (auto b = backend()) b->setFloat(variable, value);
}

void RenderAPI::setInt(VariableHandle variable, int value) {
    if (auto b = backend()) b->setInt(variable, value);
}

void RenderAPI::setMatrix(VariableHandle variable, const osg::Matrixf& value) {
    if (auto b = backend()) b->setMatrix(variable, value);
}

void RenderAPI::bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer) {
    if (auto b = backend()) b->bindVertexBuffer(element, buffer);
}

void RenderAPI::bindIndexBuffer(const StructuredBuffer& buffer) {
    if (auto b = backend()) b->bindIndexBuffer(buffer);
}

void RenderAPI::commit() {
    if (auto b = backend()) b->commit();
}

void RenderAPI::dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) {
    if (auto b = backend()) b->dispatch(pass, x, y, z);
}

void RenderAPI::drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) {
    if (auto b = backend()) b->drawIndexedInstanced(index_count, instance_count);
}

void RenderAPI::endPass() {
    if (auto b = backend()) b->endPass();
}

std::shared_ptr<TextureArray> TextureArray::open(const std::vector<std::string>& names, const char* name,
                                                 const char* tag) {
    auto b = backend();
    return b ? b->openTextureArray(names, name, tag) : nullptr;
}

void RenderLine::render(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform,
                        const osg::Vec4f& color, unsigned pattern, bool depth_test) {
    if (auto b = backend()) b->drawLines(points, count, transform, color, pattern, depth_test);
}

}  // namespace render
