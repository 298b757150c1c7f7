// Host strings and ids: case and extension helpers, the interning cache, the id generator and the
// random-number object.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace orn {

std::string toLower(const std::string& s);
// "dir/walk.fbx" -> "dir/walk"; names without an extension are returned unchanged.
std::string removeExtension(const std::string& s);

// Thread-safe interning cache: one pointer per distinct string, valid for the life of the cache.
class StringsCacheFast {
public:
    StringsCacheFast(size_t capacity_bytes, int shards, int probes);
    ~StringsCacheFast();
    StringsCacheFast(const StringsCacheFast&) = delete;
    StringsCacheFast& operator=(const StringsCacheFast&) = delete;
    const char* get(const char* s);
    const char* get(const std::string& s) { return get(s.c_str()); }
private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

// Never returns the same value twice in a process.
uint64_t gen_id();

}  // namespace orn

// Host random-number object: a fresh float in [0, 1) on every call of get().
class RandomObject {
public:
    RandomObject();
    explicit RandomObject(uint64_t seed);
    ~RandomObject();
    float get();
    void seed(uint64_t seed);
private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};
