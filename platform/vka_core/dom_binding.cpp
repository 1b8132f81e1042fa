// The domain object's members as Lua sees them (dom:Get("k"), dom:Set("k", v), ...).
//
// Lua errors unwind with longjmp, past C++ destructors; so every argument is checked before
// any C++ object with a destructor is made in a member, and such objects live in inner
// scopes that end before anything can raise.

#include "dom_binding.h"

#include "log2disk.h"
#include "trace.h"
#include "utf8_text.h"

#include <wx/log.h>

#include <cmath>
#include <string>
#include <vector>

namespace SLB3 {

namespace {

using VkaCore::CDom;

// The class name the members were registered under, kept in the registry so that the members
// can check their self argument against it.
char kClassNameKey;

CDom* self(lua_State* L)
{
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kClassNameKey);
    // The registry keeps the string alive after the pop.
    const char* className = lua_tostring(L, -1);
    lua_pop(L, 1);
    return Check<CDom>(L, 1, className ? className : "SLB.Dom");
}

void pushString(lua_State* L, const std::string& s)
{
    lua_pushlstring(L, s.data(), s.size());
}

// A key argument, kept as Lua's bytes (a key may hold any byte, NUL included); the C++ string
// is made only at the call into the domain, after every check that could raise.
struct KeyArg {
    const char* data;
    size_t size;
    std::string str() const { return std::string(data, size); }
};

KeyArg checkKey(lua_State* L, int idx)
{
    KeyArg key;
    key.data = luaL_checklstring(L, idx, &key.size);
    return key;
}

int domGet(lua_State* L)
{
    CDom* dom = self(L);
    KeyArg key = checkKey(L, 2);
    if (dom->TypeOf(key.str()) == CDom::Type::None) {
        lua_pushnil(L);
        return 1;
    }
    pushString(L, dom->Get(key.str()));
    return 1;
}

void pushBool(lua_State* L, bool value)
{
    lua_pushboolean(L, value);
}

void pushInt(lua_State* L, long long value)
{
    lua_pushnumber(L, static_cast<lua_Number>(value));
}

// dom:GetBool and dom:GetInt: the value of that type, or nil when the key holds none.
template <typename T, void (*push)(lua_State*, T)> int domGetTyped(lua_State* L)
{
    CDom* dom = self(L);
    KeyArg key = checkKey(L, 2);
    T value{};
    if (dom->Get(key.str(), value))
        push(L, value);
    else
        lua_pushnil(L);
    return 1;
}

int domType(lua_State* L)
{
    CDom* dom = self(L);
    KeyArg key = checkKey(L, 2);
    switch (dom->TypeOf(key.str())) {
    case CDom::Type::String: lua_pushliteral(L, "string"); break;
    case CDom::Type::Boolean: lua_pushliteral(L, "boolean"); break;
    case CDom::Type::Integer: lua_pushliteral(L, "integer"); break;
    case CDom::Type::None: lua_pushnil(L); break;
    }
    return 1;
}

int domSet(lua_State* L)
{
    CDom* dom = self(L);
    KeyArg key = checkKey(L, 2);
    switch (lua_type(L, 3)) {
    case LUA_TSTRING: {
        size_t len;
        const char* s = lua_tolstring(L, 3, &len);
        dom->Set(key.str(), std::string(s, len));
        break;
    }
    case LUA_TBOOLEAN: dom->Set(key.str(), lua_toboolean(L, 3) != 0); break;
    case LUA_TNUMBER: {
        lua_Number n = lua_tonumber(L, 3);
        // Every double in [-2^63, 2^63) with no fraction fits a 64-bit integer exactly.
        if (!(std::floor(n) == n && n >= -9223372036854775808.0 && n < 9223372036854775808.0))
            return luaL_argerror(L, 3, "number has no integer representation");
        dom->SetInt(key.str(), static_cast<long long>(n));
        break;
    }
    default:
        return luaL_argerror(L, 3,
                             lua_pushfstring(L, "string, boolean or integer expected, got %s", luaL_typename(L, 3)));
    }
    return 0;
}

int domUnset(lua_State* L)
{
    CDom* dom = self(L);
    KeyArg key = checkKey(L, 2);
    lua_pushboolean(L, dom->Unset(key.str()));
    return 1;
}

int domKeys(lua_State* L)
{
    CDom* dom = self(L);
    size_t prefixSize = 0;
    const char* prefix = luaL_optlstring(L, 2, "", &prefixSize);
    lua_newtable(L);  // keys
    {
        std::vector<std::string> keys = dom->Keys(std::string(prefix, prefixSize));
        int i = 0;
        for (const std::string& key : keys) {
            pushString(L, key);
            lua_rawseti(L, -2, ++i);
        }
    }
    return 1;
}

int domEvents(lua_State* L)
{
    CDom* dom = self(L);
    lua_newtable(L);  // events
    {
        std::vector<VkaCore::AgentEventRecord> events = dom->Events();
        int i = 0;
        for (const VkaCore::AgentEventRecord& ev : events) {
            lua_createtable(L, 0, 5);  // events ev
            lua_pushnumber(L, ev.event);
            lua_setfield(L, -2, "event");
            lua_pushnumber(L, ev.severity);
            lua_setfield(L, -2, "severity");
            lua_pushnumber(L, static_cast<lua_Number>(ev.seconds));
            lua_setfield(L, -2, "seconds");
            lua_pushnumber(L, static_cast<lua_Number>(ev.millis));
            lua_setfield(L, -2, "millis");
            pushString(L, ev.text);
            lua_setfield(L, -2, "text");
            lua_rawseti(L, -2, ++i);  // events
        }
    }
    return 1;
}

int domLog(lua_State* L)
{
    self(L);
    static const char* const levels[] = {"error", "warning", "message", "verbose", nullptr};
    int level = luaL_checkoption(L, 2, nullptr, levels);
    size_t len;
    const char* text = luaL_checklstring(L, 3, &len);
    {
        // "%s" keeps a '%' in the text from being read as a format.
        wxString message = VkaCore::FromUtf8OrBytes(text, len);
        switch (level) {
        case 0: wxLogError("%s", message); break;
        case 1: wxLogWarning("%s", message); break;
        case 2: wxLogMessage("%s", message); break;
        default: wxLogVerbose("%s", message); break;
        }
    }
    return 0;
}

int domTrace(lua_State* L)
{
    self(L);
    const char* module = luaL_checkstring(L, 2);
    const char* text = luaL_checkstring(L, 3);
    if (!VkaCore::LogTraceIsEnabled(module))
        return 0;
    // The trace line names the Lua code that asked for it, not this binding.
    lua_Debug ar;
    const char* source = "?";
    int line = 0;
    const char* function = "?";
    if (lua_getstack(L, 1, &ar) && lua_getinfo(L, "Sln", &ar)) {
        source = ar.short_src;
        line = ar.currentline;
        if (ar.name)
            function = ar.name;
    }
    VkaCore::LogTrace(module, source, line, function, text);
    return 0;
}

const luaL_Reg kMembers[] = {
    {"Get", domGet},
    {"GetBool", domGetTyped<bool, pushBool>},
    {"GetInt", domGetTyped<long long, pushInt>},
    {"Type", domType},
    {"Set", domSet},
    {"Unset", domUnset},
    {"Keys", domKeys},
    {"Events", domEvents},
    {"Log", domLog},
    {"Trace", domTrace},
    {nullptr, nullptr},
};

}  // namespace

void Wrapper<VkaCore::CDom>::Register(Class& cls)
{
    lua_State* L = cls.state();
    lua_pushstring(L, cls.name());
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kClassNameKey);
    for (const luaL_Reg* m = kMembers; m->name; ++m)
        cls.method(m->name, m->func);
}

}  // namespace SLB3
