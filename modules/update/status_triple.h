#pragma once
// The status convention every function of the module "update" reports with: a status code and the
// relay's message for it, after a first value that is true or nil.

#include <cstdint>

#include <lua.hpp>

/// Pushes the status code and its message (the last two values of a status triple).
void PushStatus(lua_State* L, int32_t status);

/// Pushes the whole status triple: true or nil, code, message. Returns 3.
int PushStatusTriple(lua_State* L, int32_t status);
