// Host logger and model time.
#pragma once
#include <cstdarg>
#include <functional>

// Writes one line "[TAG] severity: text" to stderr and hands the message to every installed sink.
void orn_vlogf(const char* tag, int severity, const char* format, va_list args);
void orn_logf(const char* tag, int severity, const char* format, ...);

namespace orn {
using LogSink = std::function<void(const char* tag, int severity, const char* text)>;
// Installs a sink; answers a handle for remove_log_sink.
int add_log_sink(LogSink sink);
void remove_log_sink(int handle);
// Whether messages also go to stderr (on by default).
void set_log_to_stderr(bool enabled);
}  // namespace orn

namespace wTime {
// The host's world time in seconds.
double GetModelTime();
// Set by the host program's simulation loop.
void SetModelTime(double t);
}  // namespace wTime
