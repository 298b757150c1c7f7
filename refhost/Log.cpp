// Reference logger: one stderr line per message plus any number of installed sinks; the model time.
#include "host/Log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

struct LogState {
    // Recursive so that a sink may log itself; held while sinks run so that a removed sink is never
    // called afterwards.
    std::recursive_mutex mutex;
    std::vector<std::pair<int, orn::LogSink>> sinks;
    int next_handle = 1;
    std::atomic<bool> to_stderr{true};
};

// Never destroyed: objects of other libraries may log while static objects are torn down.
LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

std::string format_message(const char* format, va_list args) {
    if (!format) return std::string();
    std::string text(256, '\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(&text[0], text.size(), format, copy);
        va_end(copy);
        if (n < 0) return std::string(format);  // encoding error: keep the raw format
        if (static_cast<size_t>(n) < text.size()) {
            text.resize(static_cast<size_t>(n));
            return text;
        }
        text.assign(static_cast<size_t>(n) + 1, '\0');
    }
}

}  // namespace

void orn_vlogf(const char* tag, int severity, const char* format, va_list args) {
    const char* t = tag ? tag : "";
    std::string text = format_message(format, args);
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (s.to_stderr.load()) {
        std::string line = "[" + std::string(t) + "] " + std::to_string(severity) + ": " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    // Copy so that a sink may add or remove sinks while it runs.
    auto sinks = s.sinks;
    for (auto& entry : sinks) {
        if (entry.second) entry.second(t, severity, text.c_str());
    }
}

void orn_logf(const char* tag, int severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    orn_vlogf(tag, severity, format, args);
    va_end(args);
}

namespace orn {

int add_log_sink(LogSink sink) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    int handle = s.next_handle++;
    s.sinks.emplace_back(handle, std::move(sink));
    return handle;
}

void remove_log_sink(int handle) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    for (auto it = s.sinks.begin(); it != s.sinks.end(); ++it) {
        if (it->first == handle) {
            s.sinks.erase(it);
            return;
        }
    }
}

void set_log_to_stderr(bool enabled) { state().to_stderr.store(enabled); }

}  // namespace orn

namespace wTime {

namespace {
std::atomic<double> g_model_time{0.0};
}

double GetModelTime() { return g_model_time.load(std::memory_order_acquire); }
void SetModelTime(double t) { g_model_time.store(t, std::memory_order_release); }

}  // namespace wTime
