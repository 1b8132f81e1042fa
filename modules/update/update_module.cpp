// Entry point and function table of the Lua module "update": start-up and shut-down of the
// relay library and its version, beside the operations and identifiers of the files below.

#include "update_module.h"

#include <cstdint>

#include "identifiers.h"
#include "kvtrelay.h"
#include "operations.h"
#include "status_triple.h"

namespace {

// The relay library is started once per process, however many Lua states load the module.
// Only the first load writes this state; shutdown() leaves the flag set on purpose.
int g_started = 0;

int l_startup(lua_State* L)
{
    return PushStatusTriple(L, KVTRELAY_Startup(nullptr));
}

int l_shutdown(lua_State* L)
{
    return PushStatusTriple(L, KVTRELAY_Shutdown());
}

int l_version(lua_State* L)
{
    KVT_Version version{};
    int32_t status = KVTRELAY_GetVersion(&version);
    if (status > 0) {
        lua_createtable(L, 0, 5);
        lua_pushinteger(L, static_cast<lua_Integer>(version.major));
        lua_setfield(L, -2, "major");
        lua_pushinteger(L, static_cast<lua_Integer>(version.minor));
        lua_setfield(L, -2, "minor");
        lua_pushinteger(L, static_cast<lua_Integer>(version.build));
        lua_setfield(L, -2, "build");
        lua_pushinteger(L, static_cast<lua_Integer>(version.revision));
        lua_setfield(L, -2, "revision");
        lua_pushfstring(L, "%d.%d.%d", static_cast<int>(version.major), static_cast<int>(version.minor),
                        static_cast<int>(version.build));
        lua_setfield(L, -2, "string");
    } else {
        lua_pushnil(L);
    }
    PushStatus(L, status);
    return 3;
}

int l_ok(lua_State* L)
{
    bool ok = lua_isnumber(L, 1) && static_cast<int32_t>(lua_tointeger(L, 1)) > 0;
    lua_pushboolean(L, ok);
    return 1;
}

const luaL_Reg r_update[] = {
    {"startup", l_startup},
    {"shutdown", l_shutdown},
    {"version", l_version},
    {"tocomponent", l_tocomponent},
    {"toproduct", l_toproduct},
    {"extract", l_extract},
    {"removevt", l_removevt},
    {"list", l_list},
    {"everything", l_everything},
    {"patterns", l_patterns},
    {"patternsExceptMezra", l_patternsExceptMezra},
    {"components", l_components},
    {"ok", l_ok},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_update(lua_State* L)
{
    if (g_started == 0) {
        KVTRELAY_Startup(nullptr);  // a failed start is not reported; the module loads all the same
        g_started = 1;
    }
    lua_createtable(L, 0, 13);
    luaL_setfuncs(L, r_update, 0);
    return 1;
}
