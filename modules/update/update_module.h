#pragma once
// Entry point of the Lua module "update".

#include <lua.hpp>

/// Opens the module: starts the relay library on the first load and returns the function table.
extern "C" int luaopen_update(lua_State* L);
