#pragma once
// Limits for Lua code that a fuzz input brings: an instruction budget that ends loops (also in
// finalizers, so it is never removed) and a memory cap that ends hoarding.

#include <lua.hpp>

#include <cstdlib>

namespace fuzz {

const int kInstructionBudget = 200000;
const long kLuaMemoryCap = 64L * 1024 * 1024;

inline long& luaBytes()
{
    static long bytes = 0;
    return bytes;
}

inline void* cappedAlloc(void*, void* block, size_t oldSize, size_t newSize)
{
    // Blocks made before this allocator was installed count as free: the total only needs to
    // stop growth, not to be exact.
    const long before = block ? static_cast<long>(oldSize) : 0;
    if (newSize == 0) {
        std::free(block);
        luaBytes() -= before;
        return nullptr;
    }
    if (luaBytes() - before + static_cast<long>(newSize) > kLuaMemoryCap)
        return nullptr;
    void* grown = std::realloc(block, newSize);
    if (grown)
        luaBytes() += static_cast<long>(newSize) - before;
    return grown;
}

inline void budgetHook(lua_State* L, lua_Debug*)
{
    luaL_error(L, "instruction budget spent");
}

/// Puts the state under both limits until it is closed.
inline void LimitState(lua_State* L)
{
    luaBytes() = 0;
    lua_setallocf(L, cappedAlloc, nullptr);
    lua_sethook(L, budgetHook, LUA_MASKCOUNT, kInstructionBudget);
}

}  // namespace fuzz
