// Delivering the relay's progress events to the Lua handlers of the operation in progress.

#include "events.h"

#include <lua.hpp>

#include "wide_strings.h"

// In the order of KVTRELAY_EventType, whose values the asserts pin.
const char* const g_eventNames[kEventCount] = {
    "download", "progress", "removebegin", "removefailed", "downloadbegin", "downloadend",
};
static_assert(KVTRELAY_EVENT_DOWNLOAD == 0 && KVTRELAY_EVENT_PROGRESS == 1 && KVTRELAY_EVENT_REMOVEBEGIN == 2 &&
                  KVTRELAY_EVENT_REMOVEFAILED == 3 && KVTRELAY_EVENT_DOWNLOADBEGIN == 4 &&
                  KVTRELAY_EVENT_DOWNLOADEND == 5,
              "g_eventNames follows KVTRELAY_EventType");

namespace UpdateEvents {

int Callback(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* userData)
{
    auto* L = static_cast<lua_State*>(userData);
    int index = static_cast<int>(type);
    const char* name = index >= 0 && index < kEventCount ? g_eventNames[index] : "unknown";

    int top = lua_gettop(L);
    if (!lua_istable(L, 4) || !lua_checkstack(L, 8))
        return 1;
    // Raw look-up: this runs inside a relay call, where an error raised by a metamethod would
    // jump across the library's frames.
    lua_pushstring(L, name);
    lua_rawget(L, 4); /* handler */
    if (!lua_isfunction(L, -1)) {
        lua_settop(L, top);
        return 1;
    }
    lua_createtable(L, 0, 4);
    lua_pushstring(L, name);
    lua_setfield(L, -2, "type");
    if (message) {
        lua_pushnumber(L, static_cast<lua_Number>(message->total));
        lua_setfield(L, -2, "total");
        lua_pushnumber(L, static_cast<lua_Number>(message->finished));
        lua_setfield(L, -2, "finished");
        if (message->information) {
            PushWideAsNarrow(L, message->information);
            lua_setfield(L, -2, "information");
        }
    }
    lua_pcall(L, 1, 1, 0);  // an error leaves its error value as the result
    int result = lua_toboolean(L, -1);
    lua_settop(L, top);
    return result ? 0 : 1;
}

}  // namespace UpdateEvents
