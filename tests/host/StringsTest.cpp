// String helpers, the interning cache across threads, ids and random numbers.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/Strings.h"

namespace {

TEST(Strings, ToLowerAndRemoveExtension) {
    const std::pair<const char*, const char*> lower[] = {
        {"Walk_Fast-01.FBX", "walk_fast-01.fbx"}, {"\xC3\x84rger", "\xC3\x84rger"}, {"", ""}};
    for (const auto& [in, out] : lower) EXPECT_EQ(orn::toLower(in), out) << in;
    const std::pair<const char*, const char*> stripped[] = {
        {"dir/walk.fbx", "dir/walk"}, {"walk.fbx.lua", "walk.fbx"}, {"walk", "walk"},
        {"dir.v2/walk", "dir.v2/walk"}, {"dir/.hidden", "dir/.hidden"}, {"", ""}};
    for (const auto& [in, out] : stripped) EXPECT_EQ(orn::removeExtension(in), out) << in;
}

// Runs `body(thread)` on `count` threads at once.
template <class Body> void on_threads(int count, Body body) {
    std::vector<std::thread> workers;
    for (int t = 0; t < count; ++t) workers.emplace_back(body, t);
    for (auto& w : workers) w.join();
}

TEST(Strings, CacheGivesOnePointerPerStringAcrossThreadsAndWhileGrowing) {
    orn::StringsCacheFast cache(1 << 20, 16, 3);
    const int threads = 8, names = 500;
    std::vector<std::vector<const char*>> got(threads, std::vector<const char*>(names));
    on_threads(threads, [&](int t) {
        for (int i = 0; i < names; ++i) {
            const int n = (i + t * 37) % names;  // each thread in its own order
            got[t][n] = cache.get("node_" + std::to_string(n));
        }
    });
    std::set<const char*> distinct;
    for (int i = 0; i < names; ++i) {
        for (int t = 1; t < threads; ++t) ASSERT_EQ(got[t][i], got[0][i]) << "name " << i;
        EXPECT_EQ(std::string(got[0][i]), "node_" + std::to_string(i));
        distinct.insert(got[0][i]);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(names));
    const char* walk = cache.get("walk");
    for (int i = 0; i < 10000; ++i) cache.get("filler_" + std::to_string(i));
    EXPECT_EQ(cache.get(std::string("walk")), walk);
    EXPECT_STREQ(walk, "walk");
}

TEST(Strings, GenIdNeverRepeatsAcrossThreads) {
    const int threads = 4, per_thread = 10000;
    std::vector<std::vector<uint64_t>> ids(threads);
    on_threads(threads, [&](int t) {
        for (int i = 0; i < per_thread; ++i) ids[t].push_back(orn::gen_id());
    });
    std::set<uint64_t> all;
    for (auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(threads * per_thread));
}

TEST(Strings, RandomObjectStaysInUnitIntervalAndFollowsItsSeed) {
    RandomObject a(42), b(42), c(43);
    std::set<float> values;
    bool differs = false;
    for (int i = 0; i < 10000; ++i) {
        const float x = a.get();
        ASSERT_TRUE(x >= 0.0f && x < 1.0f) << x;
        ASSERT_EQ(x, b.get());
        differs |= x != c.get();
        values.insert(x);
    }
    EXPECT_TRUE(differs);
    EXPECT_GT(values.size(), 9000u) << "fresh values, not a short cycle";
}

}  // namespace
