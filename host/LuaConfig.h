// Host configuration service: a reader over a Lua 5.1 state, the host's global configuration state and
// private Lua states. The reader works on the Lua stack: the "current table" is the value on top of it.
#pragma once
#include <cstddef>
#include <string>

extern "C" {
#include <lua.h>
#include <lauxlib.h>
#include <lualib.h>
}

// The host's global configuration state (options such as "options.graphics.AnimationsPaths").
extern lua_State* globalConfig;

// Private Lua states: one independent state per owner; the name is for diagnostics only.
lua_State* ORN_lua_open(const char* name);
void ORN_lua_openlibs(lua_State* L);
void ORN_lua_close(lua_State* L);

namespace Lua {

class Config {
public:
    explicit Config(lua_State* L) : _L(L) {}
    lua_State* state() const { return _L; }

    // Pushes the table found under `name` in the current table (a dotted path walks nested tables; when
    // the top of the stack is not a table the globals are searched). Answers false and pushes nothing
    // when there is no table there.
    bool open(const char* name);
    bool open(const std::string& name) { return open(name.c_str()); }
    // Pushes element `index` of the current table when it is a table.
    bool open(int index);
    // Pops the table that a successful open pushed.
    void close();

    // Pushes the value under `name` (dotted path) or `index` of the current table, nil when absent.
    // Answers whether something other than nil was found. Always follow with one pop.
    bool get(const char* name);
    bool get(const std::string& name) { return get(name.c_str()); }
    bool get(int index);

    // Pop the value on top of the stack into the destination. Each answers false and leaves the
    // destination unchanged when the value is nil or of another type (numbers given as text excepted
    // for strings); the value is popped in every case.
    bool pop(bool& out);
    bool pop(int& out);
    bool pop(float& out);
    bool pop(double& out);
    bool pop(std::string& out);
    void pop();  // discards the value on top

    // Table iteration, lua_next driven:
    //   lua_pushnil(L); while (lua_next(L, -2)) { cfg.key(k); cfg.iterate_pop(v); }
    // `key` copies the key at -2 without disturbing lua_next; `iterate_pop` pops the value (at -1).
    bool key(std::string& out) const;
    bool iterate_pop(std::string& out) { return pop(out); }
    bool iterate_pop(bool& out) { return pop(out); }
    bool iterate_pop(int& out) { return pop(out); }
    bool iterate_pop(float& out) { return pop(out); }
    bool iterate_pop(double& out) { return pop(out); }

    // Runs the chunk; its first result (nil when it returns nothing) is left on the stack. On a Lua
    // error the error is logged, nothing is left on the stack and the answer is false.
    bool load_buffer(const char* data, size_t size, const char* chunk_name);

    // Reads field `name` of the current table in one step (get + pop).
    template <class T> bool read(const char* name, T& out) { get(name); return pop(out); }
    template <class T> bool read(int index, T& out) { get(index); return pop(out); }

private:
    lua_State* _L;
};

// Restores the stack top it saw at construction when it goes out of scope.
class StackGuard {
public:
    explicit StackGuard(lua_State* L) : _L(L), _top(lua_gettop(L)) {}
    ~StackGuard() { lua_settop(_L, _top); }
    StackGuard(const StackGuard&) = delete;
    StackGuard& operator=(const StackGuard&) = delete;
private:
    lua_State* _L;
    int _top;
};

}  // namespace Lua
