// String helpers, the interning cache across threads, ids and random numbers.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/Strings.h"

namespace {

TEST(Strings, ToLowerChangesAsciiLettersOnly) {
    EXPECT_EQ(orn::toLower("Walk_Fast-01.FBX"), "walk_fast-01.fbx");
    EXPECT_EQ(orn::toLower("\xC3\x84rger"), "\xC3\x84rger");  // bytes above ASCII stay as they are
    EXPECT_EQ(orn::toLower(""), "");
}

TEST(Strings, RemoveExtensionStripsOnlyTheLastExtensionOfTheFileName) {
    EXPECT_EQ(orn::removeExtension("dir/walk.fbx"), "dir/walk");
    EXPECT_EQ(orn::removeExtension("walk.fbx.lua"), "walk.fbx");
    EXPECT_EQ(orn::removeExtension("walk"), "walk");
    EXPECT_EQ(orn::removeExtension("dir.v2/walk"), "dir.v2/walk");
    EXPECT_EQ(orn::removeExtension("dir/.hidden"), "dir/.hidden");
    EXPECT_EQ(orn::removeExtension(""), "");
}

TEST(Strings, CacheGivesOnePointerPerStringAcrossThreads) {
    orn::StringsCacheFast cache(1 << 20, 16, 3);
    const int threads = 8, names = 500;
    std::vector<std::vector<const char*>> got(threads, std::vector<const char*>(names));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < names; ++i) {
                int n = (i + t * 37) % names;  // each thread in its own order
                got[t][n] = cache.get("node_" + std::to_string(n));
            }
        });
    }
    for (auto& w : workers) w.join();
    std::set<const char*> distinct;
    for (int i = 0; i < names; ++i) {
        for (int t = 1; t < threads; ++t) ASSERT_EQ(got[t][i], got[0][i]) << "name " << i;
        EXPECT_EQ(std::string(got[0][i]), "node_" + std::to_string(i));
        distinct.insert(got[0][i]);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(names));
    // Pointers stay valid and equal while the cache grows.
    const char* walk = cache.get("walk");
    for (int i = 0; i < 10000; ++i) cache.get("filler_" + std::to_string(i));
    EXPECT_EQ(cache.get(std::string("walk")), walk);
    EXPECT_STREQ(walk, "walk");
}

TEST(Strings, GenIdNeverRepeatsAcrossThreads) {
    const int threads = 4, per_thread = 10000;
    std::vector<std::vector<uint64_t>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) ids[t].push_back(orn::gen_id());
        });
    for (auto& w : workers) w.join();
    std::set<uint64_t> all;
    for (auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(threads * per_thread));
}

TEST(Strings, RandomObjectStaysInUnitIntervalAndFollowsItsSeed) {
    RandomObject a(42), b(42), c(43);
    bool differs = false;
    std::set<float> values;
    for (int i = 0; i < 10000; ++i) {
        float x = a.get();
        ASSERT_GE(x, 0.0f);
        ASSERT_LT(x, 1.0f);
        values.insert(x);
        EXPECT_EQ(x, b.get());
        if (x != c.get()) differs = true;
    }
    EXPECT_TRUE(differs);
    EXPECT_GT(values.size(), 9000u);  // fresh values, not a short cycle
    a.seed(7);
    b.seed(7);
    EXPECT_EQ(a.get(), b.get());
}

}  // namespace
