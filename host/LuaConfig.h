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

// Private Lua states: one independent state per owner; the name is for diagnostics only. A Lua error
// outside a protected call never ends the process: it is logged and thrown as std::runtime_error, and
// the state must then be closed. `ORN_lua_openlibs` opens what data files need and nothing that
// reaches the system: base functions (without those that load code or files), string, table and math.
lua_State* ORN_lua_open(const char* name);
void ORN_lua_openlibs(lua_State* L);
void ORN_lua_close(lua_State* L);

namespace Lua {

// Every read that can run Lua code (metamethods) runs protected: an error is logged with the chunk and
// the field, the read answers absent and failed() turns true. Every push makes room on the Lua stack
// first, so tables nest as deep as the stack allows; an open() that finds no room answers false.
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

    // Table iteration:
    //   lua_pushnil(L); while (cfg.next()) { cfg.key(k); cfg.iterate_pop(v); }
    // `next` is a protected lua_next over the table below the key on top; at the end (or on an error)
    // it pops the key and answers false. `key` copies the key at -2 without disturbing the walk;
    // `iterate_pop` pops the value (at -1).
    bool next();
    bool key(std::string& out) const;
    bool iterate_pop(std::string& out) { return pop(out); }
    bool iterate_pop(bool& out) { return pop(out); }
    bool iterate_pop(int& out) { return pop(out); }
    bool iterate_pop(float& out) { return pop(out); }
    bool iterate_pop(double& out) { return pop(out); }

    // Runs the chunk; its first result (nil when it returns nothing) is left on the stack. On a Lua
    // error the error is logged, nothing is left on the stack and the answer is false. Only text is
    // run: a precompiled chunk is refused. On a state from ORN_lua_open the run and every read after it
    // (until the next load_buffer) share a bound of MAX_RUN_INSTRUCTIONS instructions and
    // MAX_RUN_BYTES bytes of new Lua memory, with at most MAX_RUN_ALLOCATED bytes allocated in all;
    // going past any is an error logged as "descriptor '<chunk>' exceeded ...". The reference host
    // lowers the first two (never raises them) to the values of ORN_LUA_RUN_INSTRUCTIONS and
    // ORN_LUA_RUN_BYTES where those are set, and the third to four times the second.
    bool load_buffer(const char* data, size_t size, const char* chunk_name);
    static constexpr long MAX_RUN_INSTRUCTIONS = 100000000;
    static constexpr size_t MAX_RUN_BYTES = size_t(256) << 20;
    static constexpr size_t MAX_RUN_ALLOCATED = size_t(1) << 30;

    // Whether a read since the last load_buffer on this state raised a Lua error (or went past the
    // run's bound): the data just read is incomplete and should be skipped. A run that fails answers
    // false itself.
    bool failed() const;

    // Reads field `name` of the current table in one step (get + pop).
    template <class T> bool read(const char* name, T& out) { get(name); return pop(out); }
    template <class T> bool read(int index, T& out) { get(index); return pop(out); }

private:
    // Logs a read error of `field` and marks the state failed.
    void _read_error(const char* field) const;
    // Makes room for `slots` more values; logs and answers false when the stack is full.
    bool _room(int slots) const;

    lua_State* _L;
    mutable bool _failed = false;  // for states not made by ORN_lua_open
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
