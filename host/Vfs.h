// Host virtual file system: real directories mounted at virtual mount points.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ornvfs {

constexpr uint32_t invalid_mount = 0xFFFFFFFFu;

enum FileType : int { FT_NONE = 0, FT_FILE = 1, FT_DIRECTORY = 2 };

struct Stat {
    int file_type = FT_NONE;
    uint64_t size = 0;
};

// An open file; closed when destroyed.
class File {
public:
    virtual ~File() = default;
    virtual uint64_t size() const = 0;
    // Reads up to `bytes` bytes; answers how many were read.
    virtual uint64_t read(void* buffer, uint64_t bytes) = 0;
};

// Mounts a real directory at a virtual mount point ("/animations/"). Several directories may share a
// mount point; a later mount is searched before earlier ones when `search_first` is true, after them
// otherwise. `tag` names the mount for unmount_by_tag; null takes the default tag (set_default_tag).
// Answers a mount handle, or invalid_mount when the directory does not exist.
uint32_t mount(const char* real_dir, const char* mount_point, bool search_first, const char* tag,
               bool read_only);
// Drops every mount carrying `tag`; answers how many were dropped.
int unmount_by_tag(const char* tag);
// The tag given to mounts made with a null tag (the host sets it to the name of the plug-in it loads).
void set_default_tag(const char* tag);

bool exists(const std::string& path);
bool stat(const std::string& path, Stat& out);
// Names (not paths) in a virtual directory, merged over all mounts, sorted, without duplicates.
std::vector<std::string> enumerate(const std::string& dir);
// The whole file, or false with `out` emptied.
bool read_file(const std::string& path, std::vector<char>& out);
std::unique_ptr<File> open(const std::string& path);
// The real directory that holds a virtual path (file or directory); empty when there is none.
std::string get_real_dir(const std::string& path);

}  // namespace ornvfs
