// The Lua table reader: absent or mistyped values leave destinations alone, dotted paths, iteration
// and chunk errors.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "host/LuaConfig.h"
#include "tests/support/TestSupport.h"

namespace {

class LuaConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        L = ORN_lua_open("LuaConfigTest");
        ORN_lua_openlibs(L);
    }
    void TearDown() override { ORN_lua_close(L); }

    bool run(const std::string& code) {
        Lua::Config cfg(L);
        if (!cfg.load_buffer(code.data(), code.size(), "test")) return false;
        cfg.pop();
        return true;
    }

    lua_State* L = nullptr;
};

TEST_F(LuaConfigTest, PopLeavesDestinationUnchangedWhenNothingFitsAndAlwaysPops) {
    ASSERT_TRUE(run("t = { b = true, i = 7, f = 2.5, s = 'text', n = 12, nan = 0/0, big = 1e30 }"));
    Lua::Config cfg(L);
    ASSERT_TRUE(cfg.open("t"));
    const int top = lua_gettop(L);

    bool b = false;
    int i = -1;
    float f = -1.0f;
    double d = -1.0;
    std::string s = "keep";

    // Missing fields.
    EXPECT_FALSE(cfg.read("missing", b));
    EXPECT_FALSE(cfg.read("missing", i));
    EXPECT_FALSE(cfg.read("missing", f));
    EXPECT_FALSE(cfg.read("missing", d));
    EXPECT_FALSE(cfg.read("missing", s));
    EXPECT_EQ(lua_gettop(L), top);
    // Wrong types: a string is no number, a number is no boolean, a boolean is no string.
    EXPECT_FALSE(cfg.read("s", i));
    EXPECT_FALSE(cfg.read("s", f));
    EXPECT_FALSE(cfg.read("s", d));
    EXPECT_FALSE(cfg.read("i", b));
    EXPECT_FALSE(cfg.read("b", s));
    // Numbers an int can not hold.
    EXPECT_FALSE(cfg.read("nan", i));
    EXPECT_FALSE(cfg.read("big", i));
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_FALSE(b);
    EXPECT_EQ(i, -1);
    EXPECT_EQ(f, -1.0f);
    EXPECT_EQ(d, -1.0);
    EXPECT_EQ(s, "keep");

    EXPECT_TRUE(cfg.read("b", b));
    EXPECT_TRUE(cfg.read("i", i));
    EXPECT_TRUE(cfg.read("f", f));
    EXPECT_TRUE(cfg.read("f", d));
    EXPECT_TRUE(cfg.read("s", s));
    EXPECT_TRUE(b);
    EXPECT_EQ(i, 7);
    EXPECT_FLOAT_EQ(f, 2.5f);
    EXPECT_DOUBLE_EQ(d, 2.5);
    EXPECT_EQ(s, "text");
    // Numbers are accepted as text.
    EXPECT_TRUE(cfg.read("n", s));
    EXPECT_EQ(s, "12");
    EXPECT_EQ(lua_gettop(L), top);
    cfg.close();
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, PopOnAnEmptyStackIsSafe) {
    Lua::Config cfg(L);
    int i = 3;
    EXPECT_FALSE(cfg.pop(i));
    cfg.pop();
    cfg.close();
    EXPECT_EQ(i, 3);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, DottedPathsWalkNestedTables) {
    ASSERT_TRUE(run("options = { graphics = { AnimationsPaths = { 'a', 'b' }, scale = 3 } }"));
    Lua::Config cfg(L);
    ASSERT_TRUE(cfg.open("options.graphics.AnimationsPaths"));
    std::string first;
    EXPECT_TRUE(cfg.read(1, first));
    EXPECT_EQ(first, "a");
    cfg.close();
    EXPECT_EQ(lua_gettop(L), 0);

    int scale = 0;
    EXPECT_TRUE(cfg.read("options.graphics.scale", scale));
    EXPECT_EQ(scale, 3);
    // Paths through missing tables or through values that are not tables push nothing.
    EXPECT_FALSE(cfg.open("options.sound.volume"));
    EXPECT_FALSE(cfg.open("options.graphics.scale"));
    EXPECT_FALSE(cfg.open("options.graphics.scale.x"));
    EXPECT_FALSE(cfg.open("options..graphics"));
    EXPECT_FALSE(cfg.open(""));
    EXPECT_EQ(lua_gettop(L), 0);
    // Relative to the table opened last.
    ASSERT_TRUE(cfg.open("options"));
    EXPECT_TRUE(cfg.open("graphics.AnimationsPaths"));
    EXPECT_EQ(lua_gettop(L), 2);
}

TEST_F(LuaConfigTest, OpenByIndexNeedsATableElement) {
    ASSERT_TRUE(run("lods = { { 'lod0.fbx', 10 }, 'not a table' }"));
    Lua::Config cfg(L);
    EXPECT_FALSE(cfg.open(1));  // the globals are not "the current table" for indices
    ASSERT_TRUE(cfg.open("lods"));
    ASSERT_TRUE(cfg.open(1));
    std::string file;
    float distance = 0;
    EXPECT_TRUE(cfg.read(1, file));
    EXPECT_TRUE(cfg.read(2, distance));
    EXPECT_EQ(file, "lod0.fbx");
    EXPECT_EQ(distance, 10.0f);
    cfg.close();
    EXPECT_FALSE(cfg.open(2));
    EXPECT_FALSE(cfg.open(3));
    EXPECT_EQ(lua_gettop(L), 1);
}

TEST_F(LuaConfigTest, IterationGivesEveryKeyAndValue) {
    ASSERT_TRUE(run("subst = { body = 'body_lo', head = 'head_lo', [3] = 'three' }"));
    Lua::Config cfg(L);
    ASSERT_TRUE(cfg.open("subst"));
    std::map<std::string, std::string> seen;
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        std::string k, v;
        EXPECT_TRUE(cfg.key(k));
        EXPECT_TRUE(cfg.iterate_pop(v));
        seen[k] = v;
    }
    cfg.close();
    EXPECT_EQ(lua_gettop(L), 0);
    std::map<std::string, std::string> expected{{"body", "body_lo"}, {"head", "head_lo"}, {"3", "three"}};
    EXPECT_EQ(seen, expected);
}

TEST_F(LuaConfigTest, LoadBufferRunsTheChunkAndLeavesOneResult) {
    Lua::Config cfg(L);
    const std::string code = "skeleton = 'human'\nreturn 42";
    ASSERT_TRUE(cfg.load_buffer(code.data(), code.size(), "chunk"));
    ASSERT_EQ(lua_gettop(L), 1);
    int result = 0;
    EXPECT_TRUE(cfg.pop(result));
    EXPECT_EQ(result, 42);
    std::string skeleton;
    EXPECT_TRUE(cfg.read("skeleton", skeleton));
    EXPECT_EQ(skeleton, "human");

    const std::string silent = "x = 1";
    ASSERT_TRUE(cfg.load_buffer(silent.data(), silent.size(), "chunk"));
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_TRUE(lua_isnil(L, -1));
}

TEST_F(LuaConfigTest, LoadBufferErrorsAreLoggedAndLeaveNothing) {
    test::LogCapture log;
    Lua::Config cfg(L);
    const std::string syntax = "x = = 1";
    EXPECT_FALSE(cfg.load_buffer(syntax.data(), syntax.size(), "broken.lua"));
    EXPECT_EQ(lua_gettop(L), 0);
    const std::string runtime = "local t = nil\nreturn t.field";
    EXPECT_FALSE(cfg.load_buffer(runtime.data(), runtime.size(), "runtime.lua"));
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(log.count(8, "broken.lua"), 1u) << log.dump();
    EXPECT_EQ(log.count(8, "runtime.lua"), 1u) << log.dump();
}

TEST(LuaGlobalConfig, IsARealStateWithLibraries) {
    ASSERT_NE(globalConfig, nullptr);
    Lua::Config cfg(globalConfig);
    Lua::StackGuard guard(globalConfig);
    const std::string code = "return string.upper('ok')";
    ASSERT_TRUE(cfg.load_buffer(code.data(), code.size(), "global"));
    std::string s;
    EXPECT_TRUE(cfg.pop(s));
    EXPECT_EQ(s, "OK");
}

TEST(LuaPrivateStates, AreIndependent) {
    lua_State* a = ORN_lua_open("a");
    lua_State* b = ORN_lua_open("b");
    Lua::Config ca(a), cb(b);
    const std::string code = "shared = 1";
    ASSERT_TRUE(ca.load_buffer(code.data(), code.size(), "a"));
    ca.pop();
    int v = 0;
    EXPECT_TRUE(ca.read("shared", v));
    EXPECT_FALSE(cb.read("shared", v));
    ORN_lua_close(a);
    ORN_lua_close(b);
    ORN_lua_close(nullptr);
}

}  // namespace
