// Reference configuration service: the Lua table reader, the global configuration state and private
// Lua states.
#include "host/LuaConfig.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/Log.h"

namespace {

// What the reference host keeps for each state it makes: the memory the state holds and the bound of
// the current descriptor run.
struct StateInfo {
    size_t used = 0;
    bool bounded = false;       // a run is bounded (set by load_buffer)
    int protected_depth = 0;    // inside a protected call made by the reader; the memory cap applies
    size_t limit = 0;           // memory the state may hold while bounded and protected
    long instructions = 0;      // counted since the run began
    long instruction_bound = 0;  // the bounds of the run, fixed when it begins
    size_t memory_bound = 0;
    size_t allocated = 0;       // bytes allocated since the run began, freed or not
    size_t allocation_budget = 0;
    bool exceeded = false;      // the run went past a bound (reported once)
    bool failed = false;        // a Lua error in the run or in a read since
    std::string chunk;          // name of the chunk of the run
};

const int HOOK_STEP = 10000;

// A run's bounds: the header's, or lower ones from the environment (ORN_LUA_RUN_INSTRUCTIONS,
// ORN_LUA_RUN_BYTES), which a fuzzer sets so that inputs that run to the bounds cost less. Never higher.
template <class T> T bound_from_environment(const char* name, T most) {
    const char* text = std::getenv(name);
    if (!text || !*text) return most;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    return end && *end == '\0' && v > 0 && v < static_cast<unsigned long long>(most) ? static_cast<T>(v) : most;
}

long run_instructions() {
    return bound_from_environment("ORN_LUA_RUN_INSTRUCTIONS", Lua::Config::MAX_RUN_INSTRUCTIONS);
}

size_t run_bytes() { return bound_from_environment("ORN_LUA_RUN_BYTES", Lua::Config::MAX_RUN_BYTES); }

// Bytes a run may allocate in all: a loop that rebuilds a growing string costs time quadratic in its
// length within few instructions and little live memory.
size_t run_allocation_budget(size_t memory_bound) { return std::min(Lua::Config::MAX_RUN_ALLOCATED, 4 * memory_bound); }

void* allocate(void* ud, void* ptr, size_t osize, size_t nsize) {
    StateInfo* info = static_cast<StateInfo*>(ud);
    if (nsize == 0) {
        std::free(ptr);
        info->used -= osize;
        return nullptr;
    }
    if (nsize > osize && info->bounded && info->protected_depth > 0) {
        info->allocated += nsize;
        if (info->allocated > info->allocation_budget) {
            if (!info->exceeded)
                orn_logf("LUA", 8, "descriptor '%s' exceeded its allocation budget of %zu bytes", info->chunk.c_str(),
                         info->allocation_budget);
            info->exceeded = true;
            return nullptr;
        }
    }
    if (nsize > osize && info->bounded && info->protected_depth > 0 && info->used - osize + nsize > info->limit) {
        if (!info->exceeded)
            orn_logf("LUA", 8, "descriptor '%s' exceeded its memory limit of %zu bytes", info->chunk.c_str(),
                     info->memory_bound);
        info->exceeded = true;
        return nullptr;
    }
    void* out = std::realloc(ptr, nsize);
    if (out) info->used = info->used - osize + nsize;
    return out;
}

// The state's own bookkeeping, or null for a state the reference host did not make.
StateInfo* state_info(lua_State* L) {
    void* ud = nullptr;
    if (!L || lua_getallocf(L, &ud) != allocate) return nullptr;
    return static_cast<StateInfo*>(ud);
}

void count_hook(lua_State* L, lua_Debug*) {
    StateInfo* info = state_info(L);
    if (!info || !info->bounded) return;
    info->instructions += HOOK_STEP;
    if (info->instructions <= info->instruction_bound) return;
    if (!info->exceeded)
        orn_logf("LUA", 8, "descriptor '%s' exceeded %ld instructions", info->chunk.c_str(), info->instruction_bound);
    info->exceeded = true;
    luaL_error(L, "descriptor '%s' exceeded its instruction budget", info->chunk.c_str());
}

// Lua calls this for an error outside any protected call and ends the process when it returns; it
// throws instead, so the error reaches the caller as an exception.
int log_panic(lua_State* L) {
    const char* msg = lua_tostring(L, -1);
    orn_logf("LUA", 8, "unprotected Lua error: %s", msg ? msg : "(no message)");
    throw std::runtime_error(std::string("unprotected Lua error: ") + (msg ? msg : "(no message)"));
}

lua_State* new_state(bool with_libs) {
    StateInfo* info = new StateInfo();
    lua_State* L = lua_newstate(allocate, info);
    if (!L) {
        delete info;
        orn_logf("LUA", 8, "can not create a Lua state");
        return nullptr;
    }
    lua_atpanic(L, log_panic);
    lua_sethook(L, count_hook, LUA_MASKCOUNT, HOOK_STEP);
    if (with_libs) luaL_openlibs(L);
    return L;
}

// Runs `f` protected with the `nargs` values on top as its arguments; leaves `nresults` results, or
// the error message when the answer is not 0. The functions are kept in the registry so that calling
// one allocates nothing outside the protection.
int protected_call(lua_State* L, lua_CFunction f, int nargs, int nresults) {
    lua_pushlightuserdata(L, reinterpret_cast<void*>(f));
    lua_rawget(L, LUA_REGISTRYINDEX);
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 1);
        lua_pushlightuserdata(L, reinterpret_cast<void*>(f));
        lua_pushcfunction(L, f);
        lua_rawset(L, LUA_REGISTRYINDEX);
        lua_pushlightuserdata(L, reinterpret_cast<void*>(f));
        lua_rawget(L, LUA_REGISTRYINDEX);
    }
    lua_insert(L, -(nargs + 1));
    StateInfo* info = state_info(L);
    if (info) ++info->protected_depth;
    const int rc = lua_pcall(L, nargs, nresults, 0);
    if (info) --info->protected_depth;
    return rc;
}

// The text of a number as Lua writes it, without converting the value in place (which allocates).
std::string number_text(lua_Number v) {
    char text[64];
    std::snprintf(text, sizeof(text), LUA_NUMBER_FMT, v);
    return text;
}

// Splits "a.b.c" into its parts; false for an empty name or an empty part.
bool split_path(const char* name, std::vector<std::string>& parts) {
    parts.clear();
    if (!name || !*name) return false;
    std::string current;
    for (const char* p = name; *p; ++p) {
        if (*p == '.') {
            if (current.empty()) return false;
            parts.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (current.empty()) return false;
    parts.push_back(current);
    return true;
}

// A dotted name split into its parts, handed to walk_path.
struct Path {
    const char* name;
    std::vector<std::string> parts;
};

// Protected: arguments (table or nil for the globals, Path as light userdata); answers the value found
// by walking the path (nil when any step is missing or crosses a value that is not a table). A Lua
// error leaves this frame without unwinding it, so it owns nothing.
int walk_path(lua_State* L) {
    const Path* path = static_cast<const Path*>(lua_touserdata(L, 2));
    lua_settop(L, 1);
    if (!lua_istable(L, 1)) {
        lua_pop(L, 1);
        lua_pushvalue(L, LUA_GLOBALSINDEX);
    }
    if (path->parts.empty()) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushvalue(L, 1);
    for (const std::string& part : path->parts) {
        if (!lua_istable(L, -1)) {
            lua_pushnil(L);
            return 1;
        }
        lua_getfield(L, -1, part.c_str());
        lua_remove(L, -2);
    }
    if (path->parts.size() > 1 && lua_isnil(L, -1)) lua_getfield(L, 1, path->name);  // a key that itself contains dots
    return 1;
}

// Protected lua_next: arguments (table, key); answers the next key and value, or nothing at the end.
int next_entry(lua_State* L) {
    lua_settop(L, 2);
    return lua_next(L, 1) ? 2 : 0;
}

bool has_value(lua_State* L) { return L && lua_gettop(L) > 0; }

}  // namespace

lua_State* globalConfig = new_state(true);

lua_State* ORN_lua_open(const char* name) {
    (void)name;
    return new_state(false);
}

void ORN_lua_openlibs(lua_State* L) {
    if (!L) return;
    const lua_CFunction libs[] = {luaopen_base, luaopen_table, luaopen_string, luaopen_math};
    for (lua_CFunction lib : libs) {
        lua_pushcfunction(L, lib);
        lua_call(L, 0, 0);
    }
    // Nothing that loads code (precompiled chunks included), reads files or reaches past the state.
    static const char* const removed[] = {"dofile", "loadfile", "load", "loadstring", "require", "module",
                                          "newproxy", "getfenv", "setfenv", "collectgarbage", "gcinfo"};
    for (const char* name : removed) {
        lua_pushnil(L);
        lua_setfield(L, LUA_GLOBALSINDEX, name);
    }
    lua_getfield(L, LUA_GLOBALSINDEX, "string");
    lua_pushnil(L);
    lua_setfield(L, -2, "dump");
    lua_pop(L, 1);
}

void ORN_lua_close(lua_State* L) {
    if (!L) return;
    StateInfo* info = state_info(L);
    lua_close(L);
    delete info;
}

namespace Lua {

bool Config::_room(int slots) const {
    if (lua_checkstack(_L, slots)) return true;
    StateInfo* info = state_info(_L);
    orn_logf("LUA", 8, "Lua stack full reading '%s'", info ? info->chunk.c_str() : "?");
    if (info) info->failed = true;
    _failed = true;
    return false;
}

void Config::_read_error(const char* field) const {
    const char* msg = lua_tostring(_L, -1);
    StateInfo* info = state_info(_L);
    if (!info || !info->exceeded)
        orn_logf("LUA", 8, "error reading '%s' of '%s': %s", field ? field : "?", info ? info->chunk.c_str() : "?",
                 msg ? msg : "(no message)");
    if (info) info->failed = true;
    _failed = true;
    lua_pop(_L, 1);
}

bool Config::failed() const {
    const StateInfo* info = state_info(_L);
    return info ? info->failed : _failed;
}

bool Config::open(const char* name) {
    if (!get(name)) {
        pop();
        return false;
    }
    // Each nested table leaves room for a whole reader step above it.
    if (lua_istable(_L, -1) && _room(LUA_MINSTACK)) return true;
    lua_pop(_L, 1);
    return false;
}

bool Config::open(int index) {
    if (!_L || !has_value(_L) || !lua_istable(_L, -1) || !_room(LUA_MINSTACK + 1)) return false;
    lua_rawgeti(_L, -1, index);
    if (lua_istable(_L, -1)) return true;
    lua_pop(_L, 1);
    return false;
}

void Config::close() {
    if (has_value(_L)) lua_pop(_L, 1);
}

bool Config::get(const char* name) {
    if (!_L) return false;
    // When the stack is full the value on top is replaced by nil, so that one pop still follows.
    if (!_room(4)) {
        if (has_value(_L)) lua_pop(_L, 1);
        lua_pushnil(_L);
        return false;
    }
    if (has_value(_L) && lua_istable(_L, -1))
        lua_pushvalue(_L, -1);
    else
        lua_pushnil(_L);
    Path path{name ? name : "", {}};
    if (!split_path(path.name, path.parts)) path.parts.clear();
    lua_pushlightuserdata(_L, &path);
    if (protected_call(_L, walk_path, 2, 1) != 0) {
        _read_error(name);
        lua_pushnil(_L);
        return false;
    }
    return !lua_isnil(_L, -1);
}

bool Config::get(int index) {
    if (!_L) return false;
    if (!_room(1)) {
        if (has_value(_L)) lua_pop(_L, 1);
        lua_pushnil(_L);
        return false;
    }
    if (!has_value(_L) || !lua_istable(_L, -1)) {
        lua_pushnil(_L);
        return false;
    }
    lua_rawgeti(_L, -1, index);
    return !lua_isnil(_L, -1);
}

bool Config::next() {
    if (!_L || lua_gettop(_L) < 2) return false;
    if (!lua_istable(_L, -2) || !_room(4)) {
        lua_pop(_L, 1);
        return false;
    }
    lua_pushvalue(_L, -2);
    lua_insert(_L, -2);  // table copy, key
    const int top = lua_gettop(_L) - 2;
    if (protected_call(_L, next_entry, 2, LUA_MULTRET) != 0) {
        _read_error("(next entry)");
        return false;
    }
    return lua_gettop(_L) > top;
}

bool Config::pop(bool& out) {
    if (!has_value(_L)) return false;
    bool ok = lua_type(_L, -1) == LUA_TBOOLEAN;
    if (ok) out = lua_toboolean(_L, -1) != 0;
    lua_pop(_L, 1);
    return ok;
}

bool Config::pop(int& out) {
    if (!has_value(_L)) return false;
    bool ok = false;
    if (lua_type(_L, -1) == LUA_TNUMBER) {
        double v = lua_tonumber(_L, -1);
        // Values an int cannot hold (NaN, infinities, out of range) count as absent.
        if (std::isfinite(v) && v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0) {
            out = static_cast<int>(v);
            ok = true;
        }
    }
    lua_pop(_L, 1);
    return ok;
}

bool Config::pop(float& out) {
    double v = 0.0;
    if (!pop(v)) return false;
    out = static_cast<float>(v);
    return true;
}

bool Config::pop(double& out) {
    if (!has_value(_L)) return false;
    bool ok = lua_type(_L, -1) == LUA_TNUMBER;
    if (ok) out = lua_tonumber(_L, -1);
    lua_pop(_L, 1);
    return ok;
}

bool Config::pop(std::string& out) {
    if (!has_value(_L)) return false;
    const int type = lua_type(_L, -1);
    bool ok = type == LUA_TSTRING || type == LUA_TNUMBER;
    if (type == LUA_TSTRING) {
        size_t len = 0;
        const char* s = lua_tolstring(_L, -1, &len);
        out.assign(s, len);
    } else if (type == LUA_TNUMBER) {
        out = number_text(lua_tonumber(_L, -1));
    }
    lua_pop(_L, 1);
    return ok;
}

void Config::pop() {
    if (has_value(_L)) lua_pop(_L, 1);
}

bool Config::key(std::string& out) const {
    if (!_L || lua_gettop(_L) < 2) return false;
    const int type = lua_type(_L, -2);
    if (type == LUA_TNUMBER) {
        out = number_text(lua_tonumber(_L, -2));
        return true;
    }
    if (type != LUA_TSTRING) return false;
    size_t len = 0;
    const char* s = lua_tolstring(_L, -2, &len);  // a string key: nothing is converted
    out.assign(s, len);
    return true;
}

bool Config::load_buffer(const char* data, size_t size, const char* chunk_name) {
    if (!_L) return false;
    const int top = lua_gettop(_L);
    const char* name = chunk_name ? chunk_name : "?";
    StateInfo* info = state_info(_L);
    if (info) {
        // Metamethods an earlier chunk put on the globals (a "strict" table, say) are not this chunk's.
        lua_pushnil(_L);
        lua_setmetatable(_L, LUA_GLOBALSINDEX);
        lua_gc(_L, LUA_GCCOLLECT, 0);
        info->bounded = true;
        info->instructions = 0;
        info->instruction_bound = run_instructions();
        info->exceeded = false;
        info->failed = false;
        info->chunk = name;
        info->memory_bound = run_bytes();
        info->limit = info->used + info->memory_bound;
        info->allocated = 0;
        info->allocation_budget = run_allocation_budget(info->memory_bound);
    }
    _failed = false;
    if (data && size > 0 && data[0] == LUA_SIGNATURE[0]) {
        orn_logf("LUA", 8, "error running '%s': precompiled chunks are not run", name);
        return false;
    }
    if (!_room(LUA_MINSTACK)) return false;
    if (info) ++info->protected_depth;
    int rc = luaL_loadbuffer(_L, data ? data : "", data ? size : 0, name);
    if (rc == 0) rc = lua_pcall(_L, 0, 1, 0);
    if (info) --info->protected_depth;
    if (rc != 0) {
        const char* msg = lua_tostring(_L, -1);
        if (!info || !info->exceeded)
            orn_logf("LUA", 8, "error running '%s': %s", name, msg ? msg : "(no message)");
        lua_settop(_L, top);
        return false;
    }
    return true;
}

}  // namespace Lua
