// Reference configuration service: the Lua table reader, the global configuration state and private
// Lua states.
#include "host/LuaConfig.h"

#include <cmath>
#include <climits>
#include <string>
#include <vector>

#include "host/Log.h"

namespace {

int log_panic(lua_State* L) {
    const char* msg = lua_tostring(L, -1);
    orn_logf("LUA", 8, "unprotected Lua error: %s", msg ? msg : "(no message)");
    return 0;  // Lua aborts the process after the panic function returns
}

lua_State* new_state(bool with_libs) {
    lua_State* L = luaL_newstate();
    if (!L) {
        orn_logf("LUA", 8, "can not create a Lua state");
        return nullptr;
    }
    lua_atpanic(L, log_panic);
    if (with_libs) luaL_openlibs(L);
    return L;
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

// Pushes the table the reader searches: the value on top when it is a table, the globals otherwise.
void push_current(lua_State* L) {
    if (lua_gettop(L) > 0 && lua_istable(L, -1))
        lua_pushvalue(L, -1);
    else
        lua_pushvalue(L, LUA_GLOBALSINDEX);
}

// Pushes the value found by walking `name` from the current table (nil when any step is missing or
// crosses a value that is not a table). Always pushes exactly one value.
void push_path(lua_State* L, const char* name) {
    std::vector<std::string> parts;
    if (!split_path(name, parts)) {
        lua_pushnil(L);
        return;
    }
    push_current(L);
    for (const std::string& part : parts) {
        if (!lua_istable(L, -1)) {
            lua_pop(L, 1);
            lua_pushnil(L);
            return;
        }
        lua_getfield(L, -1, part.c_str());
        lua_remove(L, -2);
    }
    if (parts.size() > 1 && lua_isnil(L, -1)) {
        // A key that itself contains dots.
        lua_pop(L, 1);
        push_current(L);
        lua_getfield(L, -1, name);
        lua_remove(L, -2);
    }
}

bool has_value(lua_State* L) { return L && lua_gettop(L) > 0; }

}  // namespace

lua_State* globalConfig = new_state(true);

lua_State* ORN_lua_open(const char* name) {
    (void)name;
    return new_state(false);
}

void ORN_lua_openlibs(lua_State* L) {
    if (L) luaL_openlibs(L);
}

void ORN_lua_close(lua_State* L) {
    if (L) lua_close(L);
}

namespace Lua {

bool Config::open(const char* name) {
    if (!_L) return false;
    push_path(_L, name);
    if (lua_istable(_L, -1)) return true;
    lua_pop(_L, 1);
    return false;
}

bool Config::open(int index) {
    if (!_L || !has_value(_L) || !lua_istable(_L, -1)) return false;
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
    push_path(_L, name);
    return !lua_isnil(_L, -1);
}

bool Config::get(int index) {
    if (!_L) return false;
    if (!has_value(_L) || !lua_istable(_L, -1)) {
        lua_pushnil(_L);
        return false;
    }
    lua_rawgeti(_L, -1, index);
    return !lua_isnil(_L, -1);
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
    int type = lua_type(_L, -1);
    bool ok = type == LUA_TSTRING || type == LUA_TNUMBER;
    if (ok) {
        size_t len = 0;
        const char* s = lua_tolstring(_L, -1, &len);  // converts a number in place; it is popped anyway
        out.assign(s, len);
    }
    lua_pop(_L, 1);
    return ok;
}

void Config::pop() {
    if (has_value(_L)) lua_pop(_L, 1);
}

bool Config::key(std::string& out) const {
    if (!_L || lua_gettop(_L) < 2) return false;
    int type = lua_type(_L, -2);
    if (type != LUA_TSTRING && type != LUA_TNUMBER) return false;
    // Convert a copy: converting the key itself would confuse lua_next.
    lua_pushvalue(_L, -2);
    size_t len = 0;
    const char* s = lua_tolstring(_L, -1, &len);
    out.assign(s, len);
    lua_pop(_L, 1);
    return true;
}

bool Config::load_buffer(const char* data, size_t size, const char* chunk_name) {
    if (!_L) return false;
    const int top = lua_gettop(_L);
    const char* name = chunk_name ? chunk_name : "?";
    int rc = luaL_loadbuffer(_L, data ? data : "", data ? size : 0, name);
    if (rc == 0) rc = lua_pcall(_L, 0, 1, 0);
    if (rc != 0) {
        const char* msg = lua_tostring(_L, -1);
        orn_logf("LUA", 8, "error running '%s': %s", name, msg ? msg : "(no message)");
        lua_settop(_L, top);
        return false;
    }
    return true;
}

}  // namespace Lua
