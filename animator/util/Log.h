// Messages of the plug-in: the host logger with the tag "ANIMATOR", the formatter with an optional
// host callback, and the name-filtered debug printer.
#pragma once
#include <functional>
#include <string>

namespace Animator {

constexpr const char* LOG_TAG = "ANIMATOR";
enum LogLevel : int { LOG_ERROR = 8, LOG_WARNING = 16, LOG_INFO = 64 };

// Formats into a 4096-byte buffer (longer texts are cut) and forwards to the host logger.
void log_message(const char* tag, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats the text, hands it to the log callback (if one is set) and returns it; no host logging.
std::string log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void set_log_callback(const std::function<void(const char*)>& f);

// Prints "[name] text" through the host logger unless the filter set is non-empty and lacks `name`.
void debug_filter(const std::string& name, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void add_debug_name_filter(const std::string& name);

}  // namespace Animator
