// A buffer of the OpenGL back-end: one GL buffer object of element_size() * capacity() bytes (at
// least a few bytes, so that an empty buffer can still be bound). Updates are queued to the GL
// thread in order with the back-end's other commands; a read waits for them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "host/Render.h"

namespace render {

class GlThread;

class GlBuffer : public Buffer {
public:
    GlBuffer(std::shared_ptr<GlThread> thread, BufferKind kind, uint32_t element_size, uint32_t capacity, int usage,
             std::string tag);
    // Deletes the GL buffer on the GL thread (nothing to do once the back-end is gone).
    ~GlBuffer() override;

    BufferKind kind() const override { return _kind; }
    uint32_t element_size() const override { return _element_size; }
    uint32_t capacity() const override { return _capacity; }
    int usage() const override { return _usage; }
    const std::string& tag() const override { return _tag; }
    // False also when the back-end is gone.
    bool update(const void* data, size_t bytes, size_t offset = 0) override;
    bool read(void* out, size_t bytes, size_t offset = 0) const override;

    uint64_t byte_size() const { return static_cast<uint64_t>(_element_size) * _capacity; }
    // Creates the GL storage holding `bytes` bytes of `data` (at most byte_size()) and zeros after
    // them; on the GL thread. False when the driver refuses the storage.
    bool allocate(const void* data, size_t bytes);
    // The GL buffer object; used on the GL thread only.
    uint32_t name() const { return _name; }
    // The serial of the GL thread whose context holds the buffer.
    uint64_t owner() const { return _owner; }

    // Vertex buffers: the vertex input and the element format they were created for (-1 otherwise).
    ElementHandle element() const { return _element; }
    int format() const { return _format; }
    void set_vertex_format(ElementHandle element, int format) {
        _element = element;
        _format = format;
    }

private:
    bool fits(size_t bytes, size_t offset) const;

    std::weak_ptr<GlThread> _thread;
    uint64_t _owner;
    BufferKind _kind;
    uint32_t _element_size;
    uint32_t _capacity;
    int _usage;
    std::string _tag;
    ElementHandle _element = -1;
    int _format = -1;
    uint32_t _name = 0;
};

}  // namespace render
