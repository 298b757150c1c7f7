// The Lua table reader: each destination type takes only its own values and a failed read leaves
// destination and stack alone; dotted paths and indices, iteration, chunk results and errors.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "host/LuaConfig.h"
#include "tests/support/TestSupport.h"

namespace {

class LuaConfigTest : public ::testing::Test {
protected:
    LuaConfigTest() { ORN_lua_openlibs(L); }
    ~LuaConfigTest() override { ORN_lua_close(L); }
    bool load(const std::string& code, const char* name = "test") {
        return cfg.load_buffer(code.data(), code.size(), name);
    }
    bool run(const std::string& code) { return load(code) && (cfg.pop(), true); }
    // Reads `key` of the current table into a destination holding `start`: the value read, or "-" when
    // the read answered false and kept the destination. The stack is left as it was either way.
    template <class K, class T> std::string read(K key, T start) {
        const int top = lua_gettop(L);
        T out = start;
        const bool ok = cfg.read(key, out);
        EXPECT_EQ(lua_gettop(L), top) << key;
        std::ostringstream text;
        text << std::boolalpha << out;
        return ok ? text.str() : out == start ? "-" : "changed";
    }
    // `key` read into an int, a float, a double, a string and a bool.
    std::string reads(const char* key) {
        return read(key, -1) + " " + read(key, -1.0f) + " " + read(key, -1.0) + " " + read(key, std::string("keep")) +
               " " + read(key, false);
    }

    lua_State* L = ORN_lua_open("LuaConfigTest");
    Lua::Config cfg{L};
};

TEST_F(LuaConfigTest, ReadsTakeOnlyTheirOwnTypesAndFailedOnesLeaveTheDestination) {
    ASSERT_TRUE(run("t = { b = true, i = 7, f = 2.5, s = 'text', digits = '12', big = 1e30, nan = 0/0 }"));
    ASSERT_TRUE(cfg.open("t"));
    // Key, and what it reads as into int, float, double, string and bool ("-": refused). Text is no
    // number, a number is text, and an int takes only the numbers it can hold.
    const std::pair<const char*, const char*> table[] = {
        {"missing", "- - - - -"}, {"b", "- - - - true"}, {"i", "7 7 7 7 -"}, {"f", "2 2.5 2.5 2.5 -"},
        {"s", "- - - text -"}, {"digits", "- - - 12 -"}, {"big", "- 1e+30 1e+30 1e+30 -"}};
    for (const auto& [key, expected] : table) EXPECT_EQ(reads(key), expected) << key;
    EXPECT_EQ(read("nan", -1), "-");
    cfg.close();
    int i = 7;
    EXPECT_FALSE(cfg.pop(i)) << "pop on an empty stack";
    cfg.pop();
    cfg.close();
    EXPECT_TRUE(i == 7 && lua_gettop(L) == 0);
}

TEST_F(LuaConfigTest, DottedPathsAndIndicesOpenOnlyTablesAndIterationSeesEveryPair) {
    ASSERT_TRUE(run("options = { graphics = { AnimationsPaths = { 'a', 'b' }, scale = 3 } }\n"
                    "lods = { { 'lod0.fbx', 10 }, 'not a table' }\n"
                    "subst = { body = 'body_lo', [3] = 'three' }"));
    EXPECT_EQ(read("options.graphics.scale", 0), "3");
    for (const char* bad : {"options.sound.volume", "options.graphics.scale", "options.graphics.scale.x",
                            "options..graphics", ""})
        EXPECT_FALSE(cfg.open(bad)) << bad;
    EXPECT_FALSE(cfg.open(1)) << "the globals are not the current table for indices";
    EXPECT_EQ(lua_gettop(L), 0);

    ASSERT_TRUE(cfg.open("options"));
    ASSERT_TRUE(cfg.open("graphics.AnimationsPaths")) << "relative to the table opened last";
    EXPECT_EQ(read(2, std::string()), "b");
    cfg.close();
    cfg.close();
    ASSERT_TRUE(cfg.open("lods"));
    EXPECT_FALSE(cfg.open(2) || cfg.open(3));
    ASSERT_TRUE(cfg.open(1));
    EXPECT_EQ(read(1, std::string()) + " " + read(2, 0.0f), "lod0.fbx 10");
    cfg.close();
    cfg.close();

    ASSERT_TRUE(cfg.open("subst"));
    std::map<std::string, std::string> seen;
    lua_pushnil(L);
    for (std::string k, v; lua_next(L, -2) && cfg.key(k) && cfg.iterate_pop(v);) seen[k] = v;
    cfg.close();
    EXPECT_EQ(seen, (std::map<std::string, std::string>{{"body", "body_lo"}, {"3", "three"}}));
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, LoadBufferLeavesOneResultOrLogsAndLeavesNothingInItsOwnState) {
    ASSERT_TRUE(load("skeleton = 'human'\nreturn 42"));
    int result = 0;
    EXPECT_TRUE(lua_gettop(L) == 1 && cfg.pop(result) && result == 42);
    EXPECT_EQ(read("skeleton", std::string()), "human");
    lua_State* other = ORN_lua_open("other");
    EXPECT_FALSE(Lua::Config(other).read("skeleton", result)) << "private states share nothing";
    ORN_lua_close(other);
    ORN_lua_close(nullptr);
    ASSERT_TRUE(load("x = 1"));
    EXPECT_TRUE(lua_gettop(L) == 1 && lua_isnil(L, -1)) << "a chunk without a result leaves nil";
    cfg.pop();

    test::LogCapture log;
    EXPECT_FALSE(load("x = = 1", "broken.lua"));
    EXPECT_FALSE(load("local t = nil\nreturn t.field", "runtime.lua"));
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(log.count(8, "broken.lua"), 1u) << log.dump();
    EXPECT_EQ(log.count(8, "runtime.lua"), 1u) << log.dump();
}

}  // namespace
