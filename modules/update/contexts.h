#pragma once
// Relay contexts and the Lua arguments every operation shares: 1 repository path, 2 products,
// 3 sources, 4 options.

#include <cstddef>

#include <lua.hpp>

#include "kvtrelay.h"

/// Most sources one operation accepts; a longer list is a caller's mistake, not a request.
const size_t kMaxSources = 10000;

/// Removal modes: what the removal step after a download does.
enum RemovalMode {
    kRemovalOffWithHandler = -2,  ///< no removal step; a removevt handler was given
    kRemovalOff = 0,              ///< no removal step
    kRemovalOn = 1,               ///< removal step without a handler
    kRemovalWithHandler = 2,      ///< removal step with the removevt handler
};

/// Opens a context on argument 1. Returns 0 when it is open, or 3 after pushing the failure
/// triple that the Lua function must return as is. Raises for a bad argument 1.
int CreateContext(lua_State* L, KVTRELAY_Context*& context);

/// Destroys the context (if any), removes the relay's semaphore file, and nulls the pointer.
void DestroyContext(KVTRELAY_Context*& context);

/// Converts the products at `index` (table, or one identifier). Null on success, else the
/// message; on failure nothing stays allocated.
const char* LuaToProducts(lua_State* L, int index, KVTRELAY_Product** products, size_t& count);

/// Converts the sources at `index` (absent, one url, or a table of sources). Null on success,
/// else the message; on failure nothing stays allocated. The message may be anchored on the
/// Lua stack, so raise it before popping anything.
const char* LuaToSources(lua_State* L, int index, KVTRELAY_Source** sources, size_t& count);

void DestroyProducts(KVTRELAY_Product* products, size_t count);
void DestroySources(KVTRELAY_Source* sources, size_t count);

/// Applies the options table (argument 4) to the context and updates the removal mode.
/// Null on success, else the message (anchored on the Lua stack, like LuaToSources).
const char* ContextOptions(lua_State* L, KVTRELAY_Context* context, int& removalMode);

/// Removes the relay's shared-memory semaphore file; a failure is of no interest.
void RemoveSemaphoreFile();
