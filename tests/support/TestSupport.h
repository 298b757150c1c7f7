// Helpers shared by the test suites: capturing log messages, temporary directories, scoped mounts of
// the host file system and the paths of the sample data.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace test {

// Records every message logged while it lives. With `silence_stderr` the host logger writes nothing
// to stderr until the last silencing capture ends.
class LogCapture {
public:
    struct Entry {
        std::string tag;
        int severity;
        std::string text;
    };

    explicit LogCapture(bool silence_stderr = true);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    size_t size() const;
    // Messages whose text contains `substring` (of any severity / of `severity`).
    size_t count(const std::string& substring) const;
    size_t count(int severity, const std::string& substring) const;
    bool has(const std::string& substring) const { return count(substring) > 0; }
    bool has(int severity, const std::string& substring) const { return count(severity, substring) > 0; }
    // Messages with this tag and severity (any text).
    size_t count_tagged(const std::string& tag, int severity) const;
    void clear();
    // Every message on its own line, for failure output: EXPECT_TRUE(log.has(...)) << log.dump();
    std::string dump() const;

private:
    mutable std::mutex _mutex;
    std::vector<Entry> _entries;
    int _sink = 0;
    bool _silenced = false;
};

// A fresh directory under the system's temporary directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return _path; }
    // The absolute path of `relative` inside the directory.
    std::string file(const std::string& relative) const;
    // Writes a file (creating its parent directories); answers its absolute path.
    std::string write(const std::string& relative, const std::string& contents) const;
    std::string write(const std::string& relative, const std::vector<char>& contents) const;
    // Creates a directory (and its parents); answers its absolute path.
    std::string mkdir(const std::string& relative) const;

private:
    std::string _path;
};

// Mounts a real directory at a virtual mount point under a tag of its own, unmounted at the end.
class ScopedMount {
public:
    ScopedMount(const std::string& real_dir, const std::string& mount_point, bool search_first = true);
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool ok() const;  // whether the mount succeeded
    uint32_t handle() const { return _handle; }
    const std::string& tag() const { return _tag; }

private:
    std::string _tag;
    uint32_t _handle;
};

// The repository's sample data ("data/").
std::string data_dir();
// The shared sample assets (character models and clips), which may be missing on a machine.
std::string shared_assets_dir();
bool shared_assets_present();

// The whole contents of a real file; empty when it can not be read.
std::string read_text(const std::string& path);

}  // namespace test
