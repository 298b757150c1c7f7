// GL buffer objects (see GlBuffer.h).
#include "refhost/gl/GlBuffer.h"

#include <cstring>
#include <vector>

#include "refhost/gl/GlApi.h"
#include "refhost/gl/GlThread.h"

namespace render {

namespace {
// The storage of an empty buffer: binding a zero-sized buffer is an error in GL.
const GLsizeiptr MIN_STORAGE = 16;
}  // namespace

GlBuffer::GlBuffer(std::shared_ptr<GlThread> thread, BufferKind kind, uint32_t element_size, uint32_t capacity,
                   int usage, std::string tag)
    : _thread(thread), _owner(thread->serial()), _kind(kind), _element_size(element_size), _capacity(capacity),
      _usage(usage), _tag(std::move(tag)) {}

GlBuffer::~GlBuffer() {
    if (!_name) return;
    const GLuint name = _name;
    GlThread::dispose(_thread, [name] { glDeleteBuffers(1, &name); });
}

bool GlBuffer::allocate(const void* data, size_t bytes) {
    const uint64_t size = byte_size();
    const GLsizeiptr storage = size > static_cast<uint64_t>(MIN_STORAGE) ? static_cast<GLsizeiptr>(size) : MIN_STORAGE;
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint name = 0;
    glCreateBuffers(1, &name);
    // Zeros first, so that the bytes beyond `data` read back as zeros.
    glNamedBufferStorage(name, storage, nullptr, GL_DYNAMIC_STORAGE_BIT);
    if (glGetError() != GL_NO_ERROR) {
        glDeleteBuffers(1, &name);
        return false;
    }
    const GLubyte zero = 0;
    glClearNamedBufferData(name, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE, &zero);
    if (data && bytes) glNamedBufferSubData(name, 0, static_cast<GLsizeiptr>(bytes), data);
    _name = name;
    return true;
}

bool GlBuffer::fits(size_t bytes, size_t offset) const {
    const uint64_t size = byte_size();
    return offset <= size && bytes <= size - offset;
}

bool GlBuffer::update(const void* data, size_t bytes, size_t offset) {
    if (!fits(bytes, offset)) return false;
    if (bytes == 0) return true;
    if (!data) return false;
    std::shared_ptr<GlThread> thread = _thread.lock();
    if (!thread) return false;
    const GLuint name = _name;
    if (thread->on_thread()) {
        glNamedBufferSubData(name, static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(bytes), data);
        return true;
    }
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + bytes);
    return thread->post([name, offset, copy = std::move(copy)] {
        glNamedBufferSubData(name, static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(copy.size()), copy.data());
    });
}

bool GlBuffer::read(void* out, size_t bytes, size_t offset) const {
    if (!fits(bytes, offset)) return false;
    if (bytes == 0) return true;
    if (!out) return false;
    std::shared_ptr<GlThread> thread = _thread.lock();
    if (!thread) return false;
    const GLuint name = _name;
    return thread->call([name, out, bytes, offset] {
        // Shader writes reach later reads of the buffer's contents through this barrier.
        glMemoryBarrier(GL_BUFFER_UPDATE_BARRIER_BIT);
        glGetNamedBufferSubData(name, static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(bytes), out);
    });
}

}  // namespace render
