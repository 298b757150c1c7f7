// Helpers shared by the test suites (see TestSupport.h).
#include "tests/support/TestSupport.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/Log.h"
#include "host/Vfs.h"

namespace fs = std::filesystem;

namespace test {

namespace {
std::mutex g_silence_mutex;
int g_silencers = 0;
std::atomic<int> g_mount_counter{0};
}  // namespace

LogCapture::LogCapture(bool silence_stderr) : _silenced(silence_stderr) {
    if (_silenced) {
        std::lock_guard<std::mutex> lock(g_silence_mutex);
        if (g_silencers++ == 0) orn::set_log_to_stderr(false);
    }
    _sink = orn::add_log_sink([this](const char* tag, int severity, const char* text) {
        std::lock_guard<std::mutex> lock(_mutex);
        _entries.push_back(Entry{tag ? tag : "", severity, text ? text : ""});
    });
}

LogCapture::~LogCapture() {
    orn::remove_log_sink(_sink);
    if (_silenced) {
        std::lock_guard<std::mutex> lock(g_silence_mutex);
        if (--g_silencers == 0) orn::set_log_to_stderr(true);
    }
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _entries;
}

size_t LogCapture::size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _entries.size();
}

size_t LogCapture::count(const std::string& substring) const {
    std::lock_guard<std::mutex> lock(_mutex);
    size_t n = 0;
    for (const auto& e : _entries)
        if (e.text.find(substring) != std::string::npos) ++n;
    return n;
}

size_t LogCapture::count(int severity, const std::string& substring) const {
    std::lock_guard<std::mutex> lock(_mutex);
    size_t n = 0;
    for (const auto& e : _entries)
        if (e.severity == severity && e.text.find(substring) != std::string::npos) ++n;
    return n;
}

size_t LogCapture::count_tagged(const std::string& tag, int severity) const {
    std::lock_guard<std::mutex> lock(_mutex);
    size_t n = 0;
    for (const auto& e : _entries)
        if (e.severity == severity && e.tag == tag) ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _entries.clear();
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> lock(_mutex);
    std::ostringstream out;
    for (const auto& e : _entries) out << "[" << e.tag << "] " << e.severity << ": " << e.text << "\n";
    return out.str();
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/animator-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data())) _path = fs::canonical(buffer.data()).string();
}

TempDir::~TempDir() {
    if (_path.empty()) return;
    std::error_code ec;
    fs::remove_all(_path, ec);
}

std::string TempDir::file(const std::string& relative) const { return (fs::path(_path) / relative).string(); }

std::string TempDir::write(const std::string& relative, const std::string& contents) const {
    fs::path p = fs::path(_path) / relative;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return p.string();
}

std::string TempDir::write(const std::string& relative, const std::vector<char>& contents) const {
    return write(relative, std::string(contents.begin(), contents.end()));
}

std::string TempDir::mkdir(const std::string& relative) const {
    fs::path p = fs::path(_path) / relative;
    std::error_code ec;
    fs::create_directories(p, ec);
    return p.string();
}

ScopedMount::ScopedMount(const std::string& real_dir, const std::string& mount_point, bool search_first)
    : _tag("test-mount-" + std::to_string(g_mount_counter.fetch_add(1))),
      _handle(ornvfs::mount(real_dir.c_str(), mount_point.c_str(), search_first, _tag.c_str(), true)) {}

ScopedMount::~ScopedMount() { ornvfs::unmount_by_tag(_tag.c_str()); }

bool ScopedMount::ok() const { return _handle != ornvfs::invalid_mount; }

std::string data_dir() { return ANIMATOR_DATA_DIR; }
std::string shared_assets_dir() { return ANIMATOR_SHARED_ASSETS_DIR; }

bool shared_assets_present() {
    std::error_code ec;
    return fs::is_directory(shared_assets_dir(), ec) && !fs::is_empty(shared_assets_dir(), ec);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace test
