// An OpenGL 4.5 core context without a window or surface, made through EGL: on a GPU device when the
// driver lists one, otherwise on Mesa's surfaceless platform (software rendering).
#pragma once
#include <memory>
#include <string>

namespace render {

class EglContext {
public:
    // Makes a context current on the calling thread; null with `error` set when none can be made.
    static std::unique_ptr<EglContext> create(std::string& error);
    // Releases the context from the calling thread (which must be the creating one), destroys it and
    // terminates the display once no other context of this process uses it.
    ~EglContext();
    EglContext(const EglContext&) = delete;
    EglContext& operator=(const EglContext&) = delete;

    // Where the context lives: "EGL device N" or "Mesa surfaceless".
    const std::string& source() const { return _source; }

private:
    EglContext(void* display, void* context, std::string source);
    void* _display;
    void* _context;
    std::string _source;
};

}  // namespace render
