// Headless OpenGL context through EGL (see EglContext.h).
#include "refhost/gl/EglContext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "refhost/gl/GlApi.h"

namespace render {

namespace {

bool has_extension(const char* list, const char* name) {
    if (!list) return false;
    const size_t length = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += length)
        if ((p == list || p[-1] == ' ') && (p[length] == ' ' || p[length] == '\0')) return true;
    return false;
}

// EGL displays are shared by every context of the process that names the same device, and
// eglTerminate ends them all; the process's own count decides when a display is terminated.
struct DisplayUsers {
    std::mutex mutex;
    std::map<EGLDisplay, int> count;
};

DisplayUsers& display_users() {
    static DisplayUsers* users = new DisplayUsers;  // outlives every static destructor
    return *users;
}

bool acquire_display(EGLDisplay display) {
    DisplayUsers& users = display_users();
    std::lock_guard<std::mutex> lock(users.mutex);
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) return false;
    ++users.count[display];
    return true;
}

void release_display(EGLDisplay display) {
    DisplayUsers& users = display_users();
    std::lock_guard<std::mutex> lock(users.mutex);
    auto it = users.count.find(display);
    if (it == users.count.end() || --it->second > 0) return;
    users.count.erase(it);
    eglTerminate(display);
}

std::set<std::string> loaded_libraries() {
    std::set<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name && *info->dlpi_name) static_cast<std::set<std::string>*>(out)->insert(info->dlpi_name);
            return 0;
        },
        &names);
    return names;
}

// The libraries that EGL loaded for the driver stay loaded for the life of the process: unloading
// and reloading a driver (and its code generator) with every context is slow and fragile, and
// sanitizer reports from inside a driver that is gone could not name it.
void keep_loaded(const std::set<std::string>& before) {
    for (const std::string& name : loaded_libraries()) {
        if (before.count(name)) continue;
        if (void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(handle);
    }
}

std::string hex(EGLint code) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%04X", static_cast<unsigned>(code));
    return text;
}

// A 4.5 core context current on `display`, or null with the reason appended to `error`.
EGLContext make_context(EGLDisplay display, const std::string& source, std::string& error) {
    const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
    if (!has_extension(extensions, "EGL_KHR_surfaceless_context") ||
        !has_extension(extensions, "EGL_KHR_create_context")) {
        error += source + ": no surfaceless OpenGL contexts; ";
        return EGL_NO_CONTEXT;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        error += source + ": no OpenGL API; ";
        return EGL_NO_CONTEXT;
    }
    EGLConfig config = EGL_NO_CONFIG_KHR;
    if (!has_extension(extensions, "EGL_KHR_no_config_context")) {
        const EGLint wanted[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_NONE};
        EGLint found = 0;
        if (!eglChooseConfig(display, wanted, &config, 1, &found) || found < 1) {
            error += source + ": no OpenGL configuration; ";
            return EGL_NO_CONTEXT;
        }
    }
    // Robust buffer access keeps out-of-range reads of shaders and draws defined; asked for where
    // the driver offers it.
    const bool robust = has_extension(extensions, "EGL_EXT_create_context_robustness");
    for (int attempt = robust ? 0 : 1; attempt < 2; ++attempt) {
        std::vector<EGLint> attributes{EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                                       EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT};
        if (attempt == 0) attributes.insert(attributes.end(), {EGL_CONTEXT_OPENGL_ROBUST_ACCESS_EXT, EGL_TRUE});
        attributes.push_back(EGL_NONE);
        EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, attributes.data());
        if (context == EGL_NO_CONTEXT) continue;
        if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
            eglDestroyContext(display, context);
            continue;
        }
        GLint major = 0, minor = 0;
        glGetIntegerv(GL_MAJOR_VERSION, &major);
        glGetIntegerv(GL_MINOR_VERSION, &minor);
        if (major > 4 || (major == 4 && minor >= 5)) return context;
        error += source + ": OpenGL " + std::to_string(major) + "." + std::to_string(minor) + " is below 4.5; ";
        eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(display, context);
        return EGL_NO_CONTEXT;
    }
    error += source + ": no OpenGL 4.5 core context (EGL error " + hex(eglGetError()) + "); ";
    return EGL_NO_CONTEXT;
}

}  // namespace

std::unique_ptr<EglContext> EglContext::create(std::string& error) {
    error.clear();
    const std::set<std::string> libraries = loaded_libraries();
    const char* client = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!client || !has_extension(client, "EGL_EXT_platform_base") || !get_platform_display) {
        error = "EGL offers no platform displays";
        return nullptr;
    }

    struct Candidate {
        EGLenum platform;
        void* native;
        std::string source;
    };
    std::vector<Candidate> candidates;
    auto query_devices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    auto query_device_string =
        reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
    if (has_extension(client, "EGL_EXT_device_enumeration") && has_extension(client, "EGL_EXT_platform_device") &&
        query_devices && query_device_string) {
        EGLint count = 0;
        if (query_devices(0, nullptr, &count) && count > 0) {
            std::vector<EGLDeviceEXT> devices(static_cast<size_t>(count));
            if (query_devices(count, devices.data(), &count)) {
                for (EGLint i = 0; i < count; ++i) {
                    const char* extensions = query_device_string(devices[static_cast<size_t>(i)], EGL_EXTENSIONS);
                    if (has_extension(extensions, "EGL_MESA_device_software")) continue;
                    candidates.push_back(
                        {EGL_PLATFORM_DEVICE_EXT, devices[static_cast<size_t>(i)], "EGL device " + std::to_string(i)});
                }
            }
        }
    }
    if (has_extension(client, "EGL_MESA_platform_surfaceless"))
        candidates.push_back({EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, "Mesa surfaceless"});
    if (candidates.empty()) {
        error = "EGL lists no GPU device and no Mesa surfaceless platform";
        return nullptr;
    }

    for (const Candidate& candidate : candidates) {
        EGLDisplay display = get_platform_display(candidate.platform, candidate.native, nullptr);
        if (display == EGL_NO_DISPLAY || !acquire_display(display)) {
            error += candidate.source + ": no display; ";
            continue;
        }
        EGLContext context = make_context(display, candidate.source, error);
        if (context != EGL_NO_CONTEXT) {
            error.clear();
            keep_loaded(libraries);
            return std::unique_ptr<EglContext>(new EglContext(display, context, candidate.source));
        }
        release_display(display);
    }
    if (error.size() >= 2) error.resize(error.size() - 2);  // the last "; "
    return nullptr;
}

EglContext::EglContext(void* display, void* context, std::string source)
    : _display(display), _context(context), _source(std::move(source)) {}

EglContext::~EglContext() {
    eglMakeCurrent(_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(_display, _context);
    release_display(_display);
    eglReleaseThread();
}

}  // namespace render
