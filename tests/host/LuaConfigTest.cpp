// The Lua table reader: each destination type takes only its own values and a failed read leaves
// destination and stack alone; dotted paths and indices, iteration, chunk results and errors.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
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
    for (std::string k, v; cfg.next() && cfg.key(k) && cfg.iterate_pop(v);) seen[k] = v;
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

// An allocator that keeps guard bytes after every block and checks them when the block is freed or
// moved: Lua itself is not instrumented, so a push past the end of its stack shows only here.
struct GuardedHeap {
    static constexpr size_t GUARD = 64;
    bool overrun = false;
    static void* allocate(void* ud, void* ptr, size_t osize, size_t nsize) {
        auto* heap = static_cast<GuardedHeap*>(ud);
        auto* block = static_cast<unsigned char*>(ptr);
        if (block) {
            for (size_t i = 0; i < GUARD; ++i)
                if (block[osize + i] != 0xA5) heap->overrun = true;
        }
        if (nsize == 0) {
            std::free(block);
            return nullptr;
        }
        auto* out = static_cast<unsigned char*>(std::realloc(block, nsize + GUARD));
        if (out) std::memset(out + nsize, 0xA5, GUARD);
        return out;
    }
};

TEST(LuaConfigStackTest, NestedTablesAsDeepAsTheStackAllowsOpenWithoutWritingPastIt) {
    GuardedHeap heap;
    lua_State* L = lua_newstate(GuardedHeap::allocate, &heap);
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    ASSERT_EQ(luaL_dostring(L, "local t = { v = 1000 }\n"
                               "for i = 999, 1, -1 do t = { v = i, children = { x = t } } end\n"
                               "root = t"),
              0);
    {
        Lua::Config cfg(L);
        int depth = 0;
        ASSERT_TRUE(cfg.open("root"));
        for (int v = 0; cfg.read("v", v) && v == depth + 1; ++depth) {
            if (!cfg.open("children")) {
                ++depth;
                break;
            }
            // Each level iterates its children as the skeleton reader does: key, value, then the child.
            lua_pushnil(L);
            std::string key;
            ASSERT_TRUE(cfg.next() && cfg.key(key) && key == "x");
        }
        EXPECT_EQ(depth, 1000);
    }
    lua_settop(L, 0);
    lua_close(L);
    EXPECT_FALSE(heap.overrun) << "the reader pushed past the end of the Lua stack";
}

TEST_F(LuaConfigTest, ErrorsInReadsAreCaughtLoggedWithFileAndFieldAndMarkTheRunFailed) {
    test::LogCapture log;
    ASSERT_TRUE(load("setmetatable(_G, { __index = function(t, k) error('strict: ' .. k) end })\n"
                     "d = setmetatable({ rate = 30 }, { __index = function(t, k) error('no field ' .. k) end })",
                     "strict.lua"));
    cfg.pop();
    EXPECT_FALSE(cfg.failed());
    EXPECT_FALSE(cfg.open("missing")) << "the globals' __index raises";
    EXPECT_TRUE(cfg.failed());
    EXPECT_TRUE(log.has(8, "'missing' of 'strict.lua'")) << log.dump();
    ASSERT_TRUE(cfg.open("d"));
    EXPECT_EQ(read("rate", 0), "30");
    EXPECT_EQ(read("duration", 0), "-");
    EXPECT_TRUE(log.has(8, "no field duration")) << log.dump();
    lua_pushnil(L);
    int pairs = 0;
    while (cfg.next()) {
        ++pairs;
        cfg.pop();
    }
    EXPECT_EQ(pairs, 1);
    cfg.close();
    EXPECT_EQ(lua_gettop(L), 0);
    ASSERT_TRUE(load("return 1", "next.lua")) << "the state stays usable";
    cfg.pop();
    EXPECT_FALSE(cfg.failed()) << "a new run starts clean";
}

TEST_F(LuaConfigTest, AnUnprotectedErrorIsThrownInsteadOfEndingTheProcess) {
    test::LogCapture log;
    lua_State* state = ORN_lua_open("panic");
    ASSERT_EQ(luaL_loadstring(state, "error('boom')"), 0);
    EXPECT_THROW(lua_call(state, 0, 0), std::runtime_error);
    EXPECT_TRUE(log.has(8, "boom")) << log.dump();
    ORN_lua_close(state);
}

TEST_F(LuaConfigTest, DataFilesRunAsTextWithoutTheSystemLibraries) {
    test::LogCapture log;
    // Whatever could reach files, programs, native modules or the loader of precompiled chunks.
    for (const char* name : {"os", "io", "package", "debug", "require", "module", "dofile", "loadfile", "load",
                             "loadstring", "newproxy", "setfenv", "getfenv"}) {
        ASSERT_TRUE(load(std::string("return ") + name)) << name;
        EXPECT_TRUE(lua_isnil(L, -1)) << name << " is reachable";
        cfg.pop();
    }
    ASSERT_TRUE(load("return string.dump"));
    EXPECT_TRUE(lua_isnil(L, -1));
    cfg.pop();
    ASSERT_TRUE(load("return string.format('%d', math.floor(2.5)) .. table.concat({'a', 'b'})"));
    std::string text;
    EXPECT_TRUE(cfg.pop(text) && text == "2ab") << "the data libraries stay";

    // A precompiled chunk (here only its signature and a truncated header) is refused unread.
    const std::string bytecode = std::string("\033Lua\x51\x00\x01\x04\x08\x04\x08\x00", 12) + std::string(28, '\xff');
    EXPECT_FALSE(load(bytecode, "compiled.lua"));
    EXPECT_TRUE(log.has(8, "compiled.lua")) << log.dump();
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(LuaConfigTest, RunsThatLoopOrAllocateWithoutEndAreStoppedWithAMessage) {
    const struct {
        const char* code;
        const char* message;
    } cases[] = {
        {"while true do end", "exceeded"},
        {"local s = 'x' while true do s = s .. s end", "exceeded its memory limit"},
        // Few instructions and little memory, but time quadratic in the string's length.
        {"local s = 'x' while true do s = 3 .. s end", "exceeded its allocation budget"},
        // The bound covers reads after the run: here a read runs a loop.
        {"d = setmetatable({}, { __index = function() while true do end end })", "exceeded"},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        const auto start = std::chrono::steady_clock::now();
        if (load(c.code, "hostile.lua")) {
            cfg.pop();
            ASSERT_TRUE(cfg.open("d"));
            EXPECT_EQ(read("field", 0), "-");
            cfg.close();
            EXPECT_TRUE(cfg.failed()) << c.code;
        }
        EXPECT_TRUE(log.has(8, std::string("descriptor 'hostile.lua' ") + c.message)) << c.code << log.dump();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << c.code;
        EXPECT_EQ(lua_gettop(L), 0);
        ASSERT_TRUE(load("return 1", "next.lua")) << "the state stays usable after " << c.code;
        cfg.pop();
    }
}

TEST_F(LuaConfigTest, TheEnvironmentMayLowerTheBoundsButNeverRaiseThem) {
    // A loop of about a million instructions and a string of 4 MiB: within the header's bounds.
    const char* const loop = "local n = 0 for i = 1, 300000 do n = n + i end return n";
    const char* const grow = "local s = string.rep('x', 4194304) return #s";
    struct Bounds {
        const char* instructions;
        const char* bytes;
        bool loop_runs, grow_runs;
    } const cases[] = {{"100000", "1048576", false, false},
                       {"99999999999999", "99999999999999999", true, true},  // above the header's: ignored
                       {"0", "-5", true, true},                               // not a bound: ignored
                       {"100000x", "", true, true}};
    for (const Bounds& b : cases) {
        setenv("ORN_LUA_RUN_INSTRUCTIONS", b.instructions, 1);
        setenv("ORN_LUA_RUN_BYTES", b.bytes, 1);
        test::LogCapture log;
        EXPECT_EQ(run(loop), b.loop_runs) << b.instructions << log.dump();
        EXPECT_EQ(run(grow), b.grow_runs) << b.bytes << log.dump();
        if (!b.loop_runs) {
            EXPECT_TRUE(log.has(8, "exceeded 100000 instructions")) << log.dump();
        }
        if (!b.grow_runs) {
            EXPECT_TRUE(log.has(8, "exceeded its memory limit of 1048576 bytes")) << log.dump();
        }
        EXPECT_EQ(lua_gettop(L), 0);
    }
    unsetenv("ORN_LUA_RUN_INSTRUCTIONS");
    unsetenv("ORN_LUA_RUN_BYTES");
}

}  // namespace
