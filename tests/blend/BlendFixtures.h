// Helpers of the blend and graph tests: a private Lua state that runs descriptor text, entries loaded
// from such text, the checks every unplayable entry passes, and a small skeleton type with
// straight-walking clips mounted under "/animations/" for the whole run.
#pragma once
#include <string>

#include <gtest/gtest.h>

#include "animator/blend/Animation.h"
#include "host/LuaConfig.h"

namespace blendtest {

// A private Lua state with the standard libraries.
struct LuaState {
    lua_State* L = ORN_lua_open("blendtest");
    Lua::Config cfg{L};

    LuaState() { ORN_lua_openlibs(L); }
    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;
    ~LuaState() { ORN_lua_close(L); }
    // Runs the chunk and leaves its first result on the stack; false when it is not valid Lua.
    bool push(const std::string& text) { return cfg.load_buffer(text.data(), text.size(), "blendtest"); }
    // Runs the chunk for its globals (its result is dropped).
    bool run(const std::string& text) { return push(text) && (cfg.pop(), true); }
};

// An entry loaded from the table that `text` returns; loading must leave the stack as it found it.
template <class Entry> Entry load(const std::string& text, Animator::AnimationManager* manager = nullptr) {
    LuaState lua;
    Entry e;
    EXPECT_TRUE(lua.push(text)) << text;
    const int top = lua_gettop(lua.L);
    e.load(lua.cfg, manager);
    EXPECT_EQ(lua_gettop(lua.L), top);
    return e;
}

// An entry that can not be played answers every query neutrally, reaches no clip and logs nothing.
void expect_unplayable(const Animator::Animation& e);

// The skeleton type of the test run. Its clips, indexed by name: idle (0; 1 s, still), run (1; 1.5 s,
// 4.5 m), walk_fast (2; 2 s, 4 m) and walk_slow (3; 1 s, 1 m), walking along +X; see
// BlendFixtures.cpp for its descriptors.
constexpr const char* TYPE = "bstest";
// The library of TYPE: the tree is written, mounted and loaded on first use, removed after the last test.
Animator::AnimationManager& library();
// Messages of the given severity, containing `text`, logged while TYPE loaded.
size_t load_messages(int severity, const std::string& text);

}  // namespace blendtest
