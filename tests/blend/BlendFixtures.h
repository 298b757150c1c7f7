// Helpers of the blend and graph tests: a private Lua state that runs descriptor text, clip descriptors
// with straight root motion, and a small skeleton type mounted under "/animations/" for the whole run.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "host/LuaConfig.h"

namespace blendtest {

// A private Lua state with the standard libraries.
class LuaState {
public:
    LuaState();
    ~LuaState();
    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;

    lua_State* L() const { return _L; }
    Lua::Config& cfg() { return _cfg; }
    // Runs the chunk and leaves its first result on the stack; false when it is not valid Lua.
    bool push(const std::string& text);
    // Runs the chunk for its globals (its result is dropped).
    bool run(const std::string& text);

private:
    lua_State* _L;
    Lua::Config _cfg;
};

// A Lua clip descriptor of `ticks` ticks at 30 per second whose root bone `root` moves `distance`
// along +X at constant speed.
std::string clip_descriptor(const std::string& root, int ticks, float distance);

// The skeleton type mounted for the test run (see BlendFixtures.cpp for its clips and descriptors).
constexpr const char* TYPE = "bstest";
// A second type whose clip directory holds only broken descriptors of every kind.
constexpr const char* BROKEN_TYPE = "bsbroken";

// The clips of TYPE: name, length in ticks (30 per second) and straight root travel along +X.
struct ClipSpec {
    const char* name;
    int ticks;
    float distance;
};
inline const std::vector<ClipSpec>& library_clips() {
    static const std::vector<ClipSpec> clips = {
        {"idle", 30, 0.0f}, {"run", 45, 4.5f}, {"walk_fast", 60, 4.0f}, {"walk_slow", 30, 1.0f}};
    return clips;
}

// Writes and mounts the temporary animation tree and loads both types, once per run; removed after
// the last test.
void ensure_animation_tree();
// Messages of the given severity, containing `text`, logged while the two types loaded.
size_t load_messages(int severity, const std::string& text);

}  // namespace blendtest
