// The Lua table reader: absent or mistyped values leave destinations alone, dotted paths, iteration
// and chunk errors.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "host/LuaConfig.h"
#include "tests/support/TestSupport.h"

namespace {

class LuaConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        L = ORN_lua_open("LuaConfigTest");
        ORN_lua_openlibs(L);
        cfg = std::make_unique<Lua::Config>(L);
    }
    void TearDown() override {
        cfg.reset();
        ORN_lua_close(L);
    }
    bool load(const std::string& code, const char* name = "test") { return cfg->load_buffer(code.data(), code.size(), name); }
    bool run(const std::string& code) {
        if (!load(code)) return false;
        cfg->pop();
        return true;
    }
    // A failed read answers false, keeps `out` and pops what it pushed.
    template <class T> void expect_refused(const char* key, T out) {
        SCOPED_TRACE(key);
        const T before = out;
        const int top = lua_gettop(L);
        EXPECT_FALSE(cfg->read(key, out));
        EXPECT_EQ(out, before);
        EXPECT_EQ(lua_gettop(L), top);
    }

    lua_State* L = nullptr;
    std::unique_ptr<Lua::Config> cfg;
};

TEST_F(LuaConfigTest, FailedReadsAnswerFalseAndLeaveTheDestination) {
    ASSERT_TRUE(run("t = { b = true, i = 7, f = 2.5, s = 'text', n = 12, nan = 0/0, big = 1e30 }"));
    ASSERT_TRUE(cfg->open("t"));
    for (const char* key : {"missing", "s"}) {  // absent, and a string that is no number
        expect_refused(key, -1);
        expect_refused(key, -1.0f);
        expect_refused(key, -1.0);
    }
    expect_refused("missing", std::string("keep"));
    expect_refused("b", std::string("keep"));  // a boolean is no string
    expect_refused("missing", false);
    expect_refused("i", false);                 // a number is no boolean
    expect_refused("nan", -1);                  // numbers an int can not hold
    expect_refused("big", -1);

    bool b = false;
    int i = 0;
    float f = 0;
    double d = 0;
    std::string s, n;
    EXPECT_TRUE(cfg->read("b", b) && cfg->read("i", i) && cfg->read("f", f) && cfg->read("f", d) &&
                cfg->read("s", s) && cfg->read("n", n));
    EXPECT_TRUE(b);
    EXPECT_EQ(i, 7);
    EXPECT_FLOAT_EQ(f, 2.5f);
    EXPECT_DOUBLE_EQ(d, 2.5);
    EXPECT_EQ(s, "text");
    EXPECT_EQ(n, "12") << "numbers are accepted as text";
    cfg->close();
    EXPECT_EQ(lua_gettop(L), 0);

    EXPECT_FALSE(cfg->pop(i)) << "pop on an empty stack";
    cfg->pop();
    cfg->close();
    EXPECT_EQ(i, 7);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, DottedPathsAndIndicesOpenOnlyTablesAndIterationSeesEveryPair) {
    ASSERT_TRUE(run("options = { graphics = { AnimationsPaths = { 'a', 'b' }, scale = 3 } }\n"
                    "lods = { { 'lod0.fbx', 10 }, 'not a table' }\n"
                    "subst = { body = 'body_lo', [3] = 'three' }"));
    int scale = 0;
    EXPECT_TRUE(cfg->read("options.graphics.scale", scale));
    EXPECT_EQ(scale, 3);
    for (const char* bad : {"options.sound.volume", "options.graphics.scale", "options.graphics.scale.x",
                            "options..graphics", ""})
        EXPECT_FALSE(cfg->open(bad)) << bad;
    EXPECT_FALSE(cfg->open(1)) << "the globals are not the current table for indices";
    EXPECT_EQ(lua_gettop(L), 0);

    ASSERT_TRUE(cfg->open("options"));
    ASSERT_TRUE(cfg->open("graphics.AnimationsPaths")) << "relative to the table opened last";
    std::string first;
    EXPECT_TRUE(cfg->read(1, first));
    EXPECT_EQ(first, "a");
    cfg->close();
    cfg->close();

    ASSERT_TRUE(cfg->open("lods"));
    ASSERT_TRUE(cfg->open(1));
    std::string file;
    float distance = 0;
    EXPECT_TRUE(cfg->read(1, file) && cfg->read(2, distance));
    EXPECT_EQ(file, "lod0.fbx");
    EXPECT_EQ(distance, 10.0f);
    cfg->close();
    EXPECT_FALSE(cfg->open(2));
    EXPECT_FALSE(cfg->open(3));
    cfg->close();

    ASSERT_TRUE(cfg->open("subst"));
    std::map<std::string, std::string> seen;
    lua_pushnil(L);
    for (std::string k, v; lua_next(L, -2) && cfg->key(k) && cfg->iterate_pop(v);) seen[k] = v;
    cfg->close();
    EXPECT_EQ(seen, (std::map<std::string, std::string>{{"body", "body_lo"}, {"3", "three"}}));
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, LoadBufferLeavesOneResultOrLogsAndLeavesNothing) {
    ASSERT_TRUE(load("skeleton = 'human'\nreturn 42"));
    ASSERT_EQ(lua_gettop(L), 1);
    int result = 0;
    std::string skeleton;
    EXPECT_TRUE(cfg->pop(result) && cfg->read("skeleton", skeleton));
    EXPECT_EQ(result, 42);
    EXPECT_EQ(skeleton, "human");
    ASSERT_TRUE(load("x = 1"));
    EXPECT_TRUE(lua_gettop(L) == 1 && lua_isnil(L, -1)) << "a chunk without a result leaves nil";
    cfg->pop();

    test::LogCapture log;
    EXPECT_FALSE(load("x = = 1", "broken.lua"));
    EXPECT_FALSE(load("local t = nil\nreturn t.field", "runtime.lua"));
    EXPECT_EQ(lua_gettop(L), 0);
    EXPECT_EQ(log.count(8, "broken.lua"), 1u) << log.dump();
    EXPECT_EQ(log.count(8, "runtime.lua"), 1u) << log.dump();
}

TEST(LuaStates, PrivateStatesAreIndependent) {
    lua_State* a = ORN_lua_open("a");
    lua_State* b = ORN_lua_open("b");
    Lua::Config ca(a), cb(b);
    int v = 0;
    EXPECT_TRUE(ca.load_buffer("shared = 1", 10, "a"));
    ca.pop();
    EXPECT_TRUE(ca.read("shared", v));
    EXPECT_FALSE(cb.read("shared", v));
    ORN_lua_close(a);
    ORN_lua_close(b);
    ORN_lua_close(nullptr);
}

}  // namespace
