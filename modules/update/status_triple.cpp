// The status triple: how the module turns a relay status into Lua values.

#include "status_triple.h"

#include "kvtrelay.h"
#include "wide_strings.h"

namespace {

// The relay writes at most 64 characters, terminator included.
const int kStatusMessageSize = 64;

}  // namespace

void PushStatus(lua_State* L, int32_t status)
{
    wchar_t message[kStatusMessageSize] = {0};
    KVTRELAY_GetStatusMessage(message, status);
    message[kStatusMessageSize - 1] = 0;  // never trust the library to terminate
    lua_pushinteger(L, status);
    PushWideAsNarrow(L, message);
}

int PushStatusTriple(lua_State* L, int32_t status)
{
    if (status > 0)
        lua_pushboolean(L, 1);
    else
        lua_pushnil(L);
    PushStatus(L, status);
    return 3;
}
