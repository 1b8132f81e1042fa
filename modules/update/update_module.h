#pragma once
// Process-wide state of the module "update" and the status convention shared by its functions.

#include <cstdint>

#include <lua.hpp>

#include "kvtrelay.h"

/// Number of named relay event types: the relay's event types run from 0 to
/// KVTRELAY_EVENT_DOWNLOADEND (its side: kEventTypeCount in platform/kvtrelay/relay_contract.h).
const int kEventCount = KVTRELAY_EVENT_DOWNLOADEND + 1;

/// Names of the relay event types, indexed by KVTRELAY_EventType; filled on the first load.
extern const char* g_eventNames[kEventCount];

/// Pushes the status code and its message (the last two values of a status triple).
void PushStatus(lua_State* L, int32_t status);

/// Pushes the whole status triple: true or nil, code, message. Returns 3.
int PushStatusTriple(lua_State* L, int32_t status);

extern "C" int luaopen_update(lua_State* L);
