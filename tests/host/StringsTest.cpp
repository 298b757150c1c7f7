// String helpers, the interning cache and ids across threads, random numbers.
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

TEST(Strings, CacheGivesOnePointerPerStringAndIdsNeverRepeatAcrossThreadsAndWhileGrowing) {
    orn::StringsCacheFast cache(1 << 20, 16, 3);
    const int threads = 8, names = 500;
    std::vector<std::vector<const char*>> got(threads, std::vector<const char*>(names));
    std::vector<std::vector<uint64_t>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < names; ++i) {
                const int n = (i + t * 37) % names;  // each thread in its own order
                got[t][n] = cache.get("node_" + std::to_string(n));
                ids[t].push_back(orn::gen_id());
            }
        });
    for (auto& w : workers) w.join();
    std::set<uint64_t> distinct_ids;
    for (int t = 0; t < threads; ++t) distinct_ids.insert(ids[t].begin(), ids[t].end());
    EXPECT_EQ(distinct_ids.size(), static_cast<size_t>(threads * names));
    for (int i = 0; i < names; ++i) {  // one pointer per name, and it holds the name
        for (int t = 1; t < threads; ++t) ASSERT_EQ(got[t][i], got[0][i]) << "name " << i;
        EXPECT_EQ(std::string(got[0][i]), "node_" + std::to_string(i));
    }
    const char* walk = cache.get("walk");
    for (int i = 0; i < 10000; ++i) cache.get("filler_" + std::to_string(i));
    EXPECT_EQ(cache.get(std::string("walk")), walk) << "pointers stay valid while the cache grows";
}

TEST(Strings, RandomObjectStaysInUnitIntervalAndFollowsItsSeed) {
    RandomObject a(42), b(42), c(43);
    std::set<float> values;
    int as_other_seed = 0;
    for (int i = 0; i < 10000; ++i) {
        const float x = *values.insert(a.get()).first;
        ASSERT_TRUE(x >= 0.0f && x < 1.0f && x == b.get()) << x;
        as_other_seed += x == c.get();
    }
    EXPECT_TRUE(as_other_seed < 100 && values.size() > 9000u) << "fresh values, not a short cycle";
}

}  // namespace
