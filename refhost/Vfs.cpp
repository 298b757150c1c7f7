// Reference virtual file system: real directories mounted at virtual mount points. Virtual paths are
// normalised (repeated or trailing slashes, "." parts, back-slashes); a path with a ".." part is refused,
// and so is any real path that resolves (through symbolic links) outside the directory it was found in.
#include "host/Vfs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <shared_mutex>

#include "host/Log.h"

namespace ornvfs {

namespace {

using Parts = std::vector<std::string>;

struct Mount {
    uint32_t handle;
    std::string real_dir;  // canonical, no trailing slash (except "/")
    Parts point;           // normalised mount point
    std::string tag;
};

// The host program sets the default tag to the name of the plug-in it loads; the reference host loads
// the animator, so that is the initial value.
const char* const initial_default_tag = "Animator";

struct VfsState {
    std::shared_mutex mutex;
    std::vector<Mount> mounts;  // in search order
    uint32_t next_handle = 1;
    std::string default_tag = initial_default_tag;
};

VfsState& state() {
    static VfsState* s = new VfsState;  // never destroyed: used by other libraries' static objects
    return *s;
}

// Splits a virtual path into parts; false when it has a ".." part.
bool normalise(const std::string& path, Parts& parts) {
    parts.clear();
    std::string current;
    auto flush = [&]() -> bool {
        if (current == "..") return false;
        if (!current.empty() && current != ".") parts.push_back(current);
        current.clear();
        return true;
    };
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (!flush()) return false;
        } else if (c == '\0') {
            return false;
        } else {
            current += c;
        }
    }
    return flush();
}

bool canonical(const std::string& path, std::string& out) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return false;
    out = buffer;
    return true;
}

bool inside(const std::string& canonical_path, const std::string& root) {
    if (root == "/") return true;
    if (canonical_path.size() < root.size() || canonical_path.compare(0, root.size(), root) != 0) return false;
    return canonical_path.size() == root.size() || canonical_path[root.size()] == '/';
}

bool is_prefix(const Parts& prefix, const Parts& parts) {
    if (prefix.size() > parts.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (prefix[i] != parts[i]) return false;
    return true;
}

std::vector<Mount> snapshot() {
    VfsState& s = state();
    std::shared_lock<std::shared_mutex> lock(s.mutex);
    return s.mounts;
}

// The real path of `parts` under `m`, when it exists and stays inside the mounted directory. The
// mounted directory is canonical, so only the components below it are looked at; a link among them
// sends the whole path through realpath.
bool resolve_in(const Mount& m, const Parts& parts, std::string& real, struct stat& st) {
    if (!is_prefix(m.point, parts)) return false;
    std::string path = m.real_dir;
    if (parts.size() == m.point.size() && ::stat(path.c_str(), &st) != 0) return false;
    for (size_t i = m.point.size(); i < parts.size(); ++i) {
        if (path.empty() || path.back() != '/') path += '/';
        path += parts[i];
        if (::lstat(path.c_str(), &st) != 0) return false;
        if (S_ISLNK(st.st_mode)) {
            for (++i; i < parts.size(); ++i) path += "/" + parts[i];
            std::string resolved;
            if (!canonical(path, resolved) || !inside(resolved, m.real_dir)) return false;
            if (::stat(resolved.c_str(), &st) != 0) return false;
            real = resolved;
            return true;
        }
    }
    real = path;
    return true;
}

struct Found {
    int type = FT_NONE;
    uint64_t size = 0;
    std::string real;      // real path of the entry (empty for a directory made only of mount points)
    std::string real_dir;  // the mounted directory it was found in
};

// Looks a virtual path up over all mounts in search order.
Found find(const std::string& path) {
    Found found;
    Parts parts;
    if (!normalise(path, parts)) return found;
    std::vector<Mount> mounts = snapshot();
    for (const Mount& m : mounts) {
        std::string real;
        struct stat st;
        if (!resolve_in(m, parts, real, st)) continue;
        if (S_ISDIR(st.st_mode)) {
            found.type = FT_DIRECTORY;
        } else if (S_ISREG(st.st_mode)) {
            found.type = FT_FILE;
            found.size = static_cast<uint64_t>(st.st_size);
        } else {
            continue;
        }
        found.real = real;
        found.real_dir = m.real_dir;
        return found;
    }
    // A parent of a mount point is a directory even when no real directory stands for it.
    for (const Mount& m : mounts) {
        if (m.point.size() > parts.size() && is_prefix(parts, m.point)) {
            found.type = FT_DIRECTORY;
            return found;
        }
    }
    return found;
}

class RealFile : public File {
public:
    RealFile(std::FILE* f, uint64_t size) : _f(f), _size(size) {}
    ~RealFile() override { std::fclose(_f); }
    uint64_t size() const override { return _size; }
    uint64_t read(void* buffer, uint64_t bytes) override {
        if (!buffer || bytes == 0) return 0;
        return std::fread(buffer, 1, static_cast<size_t>(bytes), _f);
    }
private:
    std::FILE* _f;
    uint64_t _size;
};

}  // namespace

uint32_t mount(const char* real_dir, const char* mount_point, bool search_first, const char* tag, bool read_only) {
    (void)read_only;  // the reference file system never writes
    if (!real_dir || !*real_dir) return invalid_mount;
    Mount m;
    struct stat st;
    if (!canonical(real_dir, m.real_dir) || ::stat(m.real_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return invalid_mount;
    if (!normalise(mount_point ? mount_point : "/", m.point)) {
        orn_logf("VFS", 8, "invalid mount point '%s'", mount_point);
        return invalid_mount;
    }
    VfsState& s = state();
    std::unique_lock<std::shared_mutex> lock(s.mutex);
    m.tag = tag ? tag : s.default_tag;
    m.handle = s.next_handle++;
    if (s.next_handle == invalid_mount) s.next_handle = 1;
    uint32_t handle = m.handle;
    if (search_first)
        s.mounts.insert(s.mounts.begin(), std::move(m));
    else
        s.mounts.push_back(std::move(m));
    return handle;
}

int unmount_by_tag(const char* tag) {
    VfsState& s = state();
    std::unique_lock<std::shared_mutex> lock(s.mutex);
    const std::string t = tag ? tag : s.default_tag;
    int dropped = 0;
    for (auto it = s.mounts.begin(); it != s.mounts.end();) {
        if (it->tag == t) {
            it = s.mounts.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

void set_default_tag(const char* tag) {
    VfsState& s = state();
    std::unique_lock<std::shared_mutex> lock(s.mutex);
    s.default_tag = tag ? tag : initial_default_tag;
}

bool exists(const std::string& path) { return find(path).type != FT_NONE; }

bool stat(const std::string& path, Stat& out) {
    Found f = find(path);
    if (f.type == FT_NONE) return false;
    out.file_type = f.type;
    out.size = f.size;
    return true;
}

std::vector<std::string> enumerate(const std::string& dir) {
    std::set<std::string> names;
    Parts parts;
    if (!normalise(dir, parts)) return {};
    for (const Mount& m : snapshot()) {
        if (m.point.size() > parts.size()) {
            if (is_prefix(parts, m.point)) names.insert(m.point[parts.size()]);
            continue;
        }
        std::string real;
        struct stat st;
        if (!resolve_in(m, parts, real, st) || !S_ISDIR(st.st_mode)) continue;
        DIR* d = ::opendir(real.c_str());
        if (!d) continue;
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            // The directory itself is resolved and inside the mount, so only a link (or an entry of
            // unknown type) can lead outside it or nowhere; those are not listed.
            if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
                std::string resolved;
                if (!canonical(real + "/" + name, resolved) || !inside(resolved, m.real_dir)) continue;
            }
            names.insert(name);
        }
        ::closedir(d);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

bool read_file(const std::string& path, std::vector<char>& out) {
    out.clear();
    std::unique_ptr<File> f = open(path);
    if (!f) return false;
    std::vector<char> data(static_cast<size_t>(f->size()));
    uint64_t got = data.empty() ? 0 : f->read(data.data(), data.size());
    if (got != data.size()) return false;
    // A file that grew after it was opened is read to its end.
    char chunk[4096];
    while (uint64_t n = f->read(chunk, sizeof(chunk))) data.insert(data.end(), chunk, chunk + n);
    out.swap(data);
    return true;
}

std::unique_ptr<File> open(const std::string& path) {
    Found f = find(path);
    if (f.type != FT_FILE) return nullptr;
    std::FILE* file = std::fopen(f.real.c_str(), "rb");
    if (!file) return nullptr;
    struct stat st;
    uint64_t size = f.size;
    if (::fstat(fileno(file), &st) == 0) size = static_cast<uint64_t>(st.st_size);
    return std::unique_ptr<File>(new RealFile(file, size));
}

std::string get_real_dir(const std::string& path) { return find(path).real_dir; }

}  // namespace ornvfs
