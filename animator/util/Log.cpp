#include "animator/util/Log.h"

#include <cstdarg>
#include <cstdio>
#include <set>

#include "host/Log.h"

namespace Animator {

namespace {

constexpr size_t MESSAGE_BUFFER_SIZE = 4096;

std::function<void(const char*)>& log_callback() {
    static std::function<void(const char*)> callback;
    return callback;
}

std::set<std::string>& debug_names() {
    static std::set<std::string> names;
    return names;
}

// vsnprintf never writes past the buffer and always terminates it, so longer texts are cut at
// MESSAGE_BUFFER_SIZE - 1 characters.
void format_into(char (&buffer)[MESSAGE_BUFFER_SIZE], const char* format, va_list args) {
    buffer[0] = '\0';
    if (!format) return;
    if (std::vsnprintf(buffer, MESSAGE_BUFFER_SIZE, format, args) < 0) buffer[0] = '\0';
}

}  // namespace

void log_message(const char* tag, int level, const char* format, ...) {
    char buffer[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    format_into(buffer, format, args);
    va_end(args);
    orn_logf(tag, level, "%s", buffer);
}

std::string log(const char* format, ...) {
    char buffer[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    format_into(buffer, format, args);
    va_end(args);
    const auto& callback = log_callback();
    if (callback) callback(buffer);
    return std::string(buffer);
}

void set_log_callback(const std::function<void(const char*)>& f) { log_callback() = f; }

void debug_filter(const std::string& name, int level, const char* format, ...) {
    const auto& names = debug_names();
    if (!names.empty() && names.find(name) == names.end()) return;
    char buffer[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    format_into(buffer, format, args);
    va_end(args);
    orn_logf(LOG_TAG, level, "[%s] %s", name.c_str(), buffer);
}

void add_debug_name_filter(const std::string& name) { debug_names().insert(name); }

}  // namespace Animator
