// Reference string helpers, the interning cache, the id generator and the random-number object.
#include "host/Strings.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <unordered_set>
#include <vector>

namespace orn {

std::string toLower(const std::string& s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string removeExtension(const std::string& s) {
    size_t slash = s.find_last_of("/\\");
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = s.find_last_of('.');
    // A dot that starts the file name (".hidden") does not begin an extension.
    if (dot == std::string::npos || dot <= base) return s;
    return s.substr(0, dot);
}

// Shards of node-based sets: an element never moves, so the pointer to its characters stays valid
// for the life of the cache.
struct StringsCacheFast::Impl {
    struct Shard {
        std::mutex mutex;
        std::unordered_set<std::string> strings;
    };
    std::vector<Shard> shards;
    explicit Impl(size_t count) : shards(count) {}
};

StringsCacheFast::StringsCacheFast(size_t capacity_bytes, int shards, int probes) {
    (void)probes;
    size_t count = shards > 0 ? static_cast<size_t>(shards) : 1;
    _impl.reset(new Impl(count));
    // The capacity is a sizing hint: an average name of about 32 bytes.
    size_t per_shard = capacity_bytes / 32 / count;
    for (auto& shard : _impl->shards) shard.strings.reserve(std::min<size_t>(per_shard, 1u << 16));
}

StringsCacheFast::~StringsCacheFast() = default;

const char* StringsCacheFast::get(const char* s) {
    std::string key = s ? s : "";
    auto& shard = _impl->shards[std::hash<std::string>()(key) % _impl->shards.size()];
    std::lock_guard<std::mutex> lock(shard.mutex);
    return shard.strings.insert(std::move(key)).first->c_str();
}

uint64_t gen_id() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace orn

struct RandomObject::Impl {
    std::mutex mutex;
    std::mt19937 engine;
};

RandomObject::RandomObject() : _impl(new Impl) {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device()};
    _impl->engine.seed(seq);
}

RandomObject::RandomObject(uint64_t seed) : _impl(new Impl) { this->seed(seed); }

RandomObject::~RandomObject() = default;

float RandomObject::get() {
    std::lock_guard<std::mutex> lock(_impl->mutex);
    // 24 random bits: every value is exact in a float and strictly below 1.
    return static_cast<float>(_impl->engine() >> 8) * (1.0f / 16777216.0f);
}

void RandomObject::seed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(_impl->mutex);
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32)};
    _impl->engine.seed(seq);
}
