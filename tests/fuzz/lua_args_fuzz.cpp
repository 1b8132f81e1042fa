// The products, sources and options of every update operation are Lua values that the agent's
// code builds from configuration and from what update sources say. The input is read as up to
// three Lua expressions (products, sources, options), evaluated in a state that reaches nothing
// outside itself. Whatever they give, conversion must end with records that are released in
// full, or with a message and nothing left allocated.
#include "fuzz_support.h"
#include "lua_sandbox.h"

#include <lua.hpp>

#include <string>

#include "contexts.h"
#include "kvtrelay_double.h"
#include "update_module.h"

namespace {

// Enough to build tables, metatables and functions; nothing that touches files, makes strings
// of any length, or catches errors (a caught budget error would let a loop run on).
const char* const kGlobals[] = {"setmetatable", "getmetatable", "error",    "type", "tostring", "tonumber", "rawset",
                                "rawget",       "rawlen",       "rawequal", "next", "select",   "assert"};

// Pushes a table holding only kGlobals, taken from the base library.
void pushEnvironment(lua_State* L)
{
    lua_newtable(L);
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* env, _G */
    for (const char* name : kGlobals) {
        lua_getfield(L, -1, name);
        lua_setfield(L, -3, name);
    }
    lua_pop(L, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    lua_State* L = luaL_newstate();
    luaL_requiref(L, "_G", luaopen_base, 1);
    luaL_requiref(L, "update", luaopen_update, 1);
    lua_settop(L, 0);
    fuzz::LimitState(L);

    // Text only: precompiled chunks are not checked by the loader and are no input of ours.
    const std::string chunk = "return " + std::string(reinterpret_cast<const char*>(data), size);
    if (luaL_loadbufferx(L, chunk.data(), chunk.size(), "=input", "t") != LUA_OK) {
        lua_close(L);
        return 0;
    }
    pushEnvironment(L);
    FUZZ_CHECK(lua_setupvalue(L, -2, 1) != nullptr); /* its _ENV */
    if (lua_pcall(L, 0, 3, 0) != LUA_OK) {
        lua_close(L);
        return 0;
    }
    lua_pushliteral(L, "repository");
    lua_insert(L, 1); /* repository, products, sources, options */
    FUZZ_CHECK(lua_gettop(L) == 4);

    kvtrelay_double_reset();

    KVTRELAY_Product* products = reinterpret_cast<KVTRELAY_Product*>(1);
    size_t productCount = 99;
    if (LuaToProducts(L, 2, &products, productCount) == nullptr) {
        FUZZ_CHECK((productCount == 0) == (products == nullptr));
        for (size_t i = 0; i < productCount; ++i)
            FUZZ_CHECK(products[i].items == nullptr && products[i].itemCount == 0);
        DestroyProducts(products, productCount);
    } else {
        FUZZ_CHECK(products == nullptr && productCount == 0);
    }
    FUZZ_CHECK(lua_gettop(L) == 4);

    KVTRELAY_Source* sources = reinterpret_cast<KVTRELAY_Source*>(1);
    size_t sourceCount = 99;
    if (LuaToSources(L, 3, &sources, sourceCount) == nullptr) {
        FUZZ_CHECK((sourceCount == 0) == (sources == nullptr));
        FUZZ_CHECK(sourceCount <= kMaxSources);
        DestroySources(sources, sourceCount);
    } else {
        FUZZ_CHECK(sources == nullptr && sourceCount == 0);
    }
    lua_settop(L, 4);

    KVTRELAY_Context* context = nullptr;
    FUZZ_CHECK(KVTRELAY_CreateContext(&context, L"repository") > 0 && context);
    int removalMode = kRemovalOn;
    (void)ContextOptions(L, context, removalMode);
    FUZZ_CHECK(removalMode == kRemovalOn || removalMode == kRemovalWithHandler || removalMode == kRemovalOff ||
               removalMode == kRemovalOffWithHandler);
    KVTRELAY_DestroyContext(context);

    lua_close(L);
    return 0;
}
