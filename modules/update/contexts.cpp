// Relay contexts from the repository argument and options, and products and sources from Lua tables.

#include "contexts.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "events.h"
#include "identifiers.h"
#include "relay_contract.h"
#include "status_triple.h"
#include "wide_strings.h"

namespace {

enum class OptionKind { Integer, Boolean };

struct RelayOption {
    const char* name;
    OptionKind kind;
    int32_t id;
};

const RelayOption kRelayOptions[] = {
    {"maxbandwidth", OptionKind::Integer, KVTRELAY_OPTION_MAXBANDWIDTH},
    {"buildpatch", OptionKind::Boolean, KVTRELAY_OPTION_BUILDPATCH},
    {"maxmerge", OptionKind::Integer, KVTRELAY_OPTION_MAXMERGE},
    {"diffcount", OptionKind::Integer, KVTRELAY_OPTION_DIFFCOUNT},
    {"keepcount", OptionKind::Integer, KVTRELAY_OPTION_KEEPCOUNT},
    {"httpslevel", OptionKind::Integer, KVTRELAY_OPTION_HTTPSLEVEL},
};

/* ---- sources ---- */

// What convertSourceTable works on; it runs protected because the length and the elements may
// come from metamethods that raise, and nothing may leak when they do.
struct SourceJob {
    KVTRELAY_Source* block = nullptr;
    size_t count = 0;
    const char* error = nullptr;
};

uint16_t portOf(lua_State* L, int index)
{
    int isNumber = 0;
    lua_Number port = lua_tonumberx(L, index, &isNumber);
    // Out-of-range numbers would make the conversion undefined; they have no port anyway.
    if (!isNumber || !std::isfinite(port) || std::fabs(port) >= 9.0e18)
        return 0;
    return static_cast<uint16_t>(static_cast<int64_t>(port));  // truncated, low 16 bits kept
}

void convertProxy(lua_State* L, int proxyTable, KVTRELAY_Proxy& proxy)
{
    lua_getfield(L, proxyTable, "host");
    proxy.host = LuaToWide(L, -1);
    lua_getfield(L, proxyTable, "user");
    proxy.user = LuaToWide(L, -1);
    lua_getfield(L, proxyTable, "password");
    proxy.password = LuaToWide(L, -1);
    lua_getfield(L, proxyTable, "port");
    proxy.port = portOf(L, -1);
    lua_getfield(L, proxyTable, "type");
    int isNumber = 0;
    lua_Number type = lua_tonumberx(L, -1, &isNumber);
    proxy.type = isNumber && type != 0 ? 1 : 0;
    lua_pop(L, 5);
}

int convertSourceTable(lua_State* L)
{
    auto* job = static_cast<SourceJob*>(lua_touserdata(L, 1));
    lua_len(L, 2);  // honours __len
    int isNumber = 0;
    lua_Number length = lua_tonumberx(L, -1, &isNumber);
    lua_pop(L, 1);
    if (!isNumber || !(length >= 0) || length > static_cast<lua_Number>(kMaxSources) || length != std::floor(length)) {
        job->error = "invalid number of sources";
        return 0;
    }
    size_t n = static_cast<size_t>(length);
    if (n == 0)
        return 0;
    // One zero-filled block: the n sources, then a proxy record for each of them.
    job->block = static_cast<KVTRELAY_Source*>(std::calloc(n, sizeof(KVTRELAY_Source) + sizeof(KVTRELAY_Proxy)));
    if (!job->block) {
        job->error = "can't allocate source";
        return 0;
    }
    job->count = n;
    auto* proxies = reinterpret_cast<KVTRELAY_Proxy*>(job->block + n);
    for (size_t i = 0; i < n; ++i) {
        lua_pushinteger(L, static_cast<lua_Integer>(i + 1));
        lua_gettable(L, 2); /* element */
        if (lua_istable(L, -1)) {
            int element = lua_gettop(L);
            lua_getfield(L, element, "url");
            job->block[i].url = LuaToWide(L, -1);
            lua_pop(L, 1);
            lua_getfield(L, element, "proxy");
            if (lua_istable(L, -1)) {
                job->block[i].proxy = &proxies[i];
                convertProxy(L, lua_gettop(L), proxies[i]);
            }
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
    }
    return 0;
}

/* ---- options ---- */

// Applies one option; the value is at `value`. Messages that name the key are pushed and so
// stay anchored on the stack until the caller raises them.
const char* applyOption(lua_State* L, KVTRELAY_Context* context, const char* name, int value, int& removalMode)
{
    for (int type = 0; type < kEventCount; ++type) {
        if (std::strcmp(name, g_eventNames[type]) != 0)
            continue;
        if (!lua_isfunction(L, value))
            return lua_pushfstring(L, "%s must be a function", name);
        KVTRELAY_SubscribeEvent(context, static_cast<KVTRELAY_EventType>(type), UpdateEvents::Callback, L);
        return nullptr;
    }
    for (const RelayOption& option : kRelayOptions) {
        if (std::strcmp(name, option.name) != 0)
            continue;
        if (option.kind == OptionKind::Boolean) {
            if (!lua_isboolean(L, value))
                return lua_pushfstring(L, "%s must be a boolean", name);
            KVTRELAY_SetOption(context, option.id, lua_toboolean(L, value) ? 1 : 0);
        } else {
            if (!lua_isnumber(L, value))
                return lua_pushfstring(L, "%s must be a integer", name);
            KVTRELAY_SetOption(context, option.id, static_cast<int64_t>(lua_tointeger(L, value)));
        }
        return nullptr;
    }
    if (std::strcmp(name, "vt") == 0) {
        if (!lua_isboolean(L, value))
            return "vt must be boolean";
        // true switches the removal step off; false switches it back on, keeping the handler.
        removalMode = lua_toboolean(L, value) ? kRemovalOff : std::abs(removalMode);
        return nullptr;
    }
    if (std::strcmp(name, "removevt") == 0) {
        if (!lua_isfunction(L, value))
            return "removevt must be a function";
        removalMode = removalMode == kRemovalOff ? kRemovalOffWithHandler : kRemovalWithHandler;
        return nullptr;
    }
    if (std::strcmp(name, "unknown") == 0) {
        // Not subscribed: the callback falls back to it for event types without a name.
        return lua_isfunction(L, value) ? nullptr : "unknown must be a function";
    }
    return lua_pushfstring(L, "%s is not a valid option", name);
}

}  // namespace

void RemoveSemaphoreFile()
{
    ::unlink(RelayContract::kSemaphoreFile);
}

int CreateContext(lua_State* L, KVTRELAY_Context*& context)
{
    context = nullptr;
    if (!lua_isstring(L, 1))
        return luaL_argerror(L, 1, "expected repository path");
    wchar_t* repository = LuaToWide(L, 1);
    int32_t status = KVTRELAY_CreateContext(&context, repository);
    std::free(repository);
    if (status > 0)
        return 0;
    context = nullptr;
    RemoveSemaphoreFile();
    lua_pushnil(L);
    PushStatus(L, status);
    return 3;
}

void DestroyContext(KVTRELAY_Context*& context)
{
    if (context)
        KVTRELAY_DestroyContext(context);
    context = nullptr;
    RemoveSemaphoreFile();
}

const char* LuaToProducts(lua_State* L, int index, KVTRELAY_Product** products, size_t& count)
{
    *products = nullptr;
    count = 0;
    index = lua_absindex(L, index);
    size_t n;
    if (lua_istable(L, index))
        n = lua_rawlen(L, index);
    else if (lua_isstring(L, index))
        n = 1;
    else
        return "expected products";
    if (n == 0)
        return nullptr;
    auto* array = static_cast<KVTRELAY_Product*>(std::calloc(n, sizeof(KVTRELAY_Product)));
    if (!array)
        return "can't allocate product";
    for (size_t i = 0; i < n; ++i) {
        const char* error;
        if (lua_istable(L, index)) {
            lua_rawgeti(L, index, static_cast<int>(i + 1));
            error = StringToProduct(L, -1, array[i]);
            lua_pop(L, 1);
        } else {
            error = StringToProduct(L, index, array[i]);
        }
        if (error) {
            DestroyProducts(array, n);
            return error;
        }
    }
    *products = array;
    count = n;
    return nullptr;
}

const char* LuaToSources(lua_State* L, int index, KVTRELAY_Source** sources, size_t& count)
{
    *sources = nullptr;
    count = 0;
    index = lua_absindex(L, index);
    if (lua_isnoneornil(L, index))
        return nullptr;
    if (lua_isstring(L, index)) {
        auto* one = static_cast<KVTRELAY_Source*>(std::calloc(1, sizeof(KVTRELAY_Source)));
        if (!one)
            return "can't allocate source";
        one->url = LuaToWide(L, index);
        *sources = one;
        count = 1;
        return nullptr;
    }
    if (!lua_istable(L, index))
        return "expected sources";
    SourceJob job;
    lua_pushcfunction(L, convertSourceTable);
    lua_pushlightuserdata(L, &job);
    lua_pushvalue(L, index);
    if (lua_pcall(L, 2, 0, 0) != LUA_OK) {
        DestroySources(job.block, job.count);
        // The error value stays on the stack, which keeps its text alive for the raise.
        return lua_isstring(L, -1) ? lua_tostring(L, -1) : "invalid sources";
    }
    if (job.error) {
        DestroySources(job.block, job.count);
        return job.error;
    }
    *sources = job.block;
    count = job.count;
    return nullptr;
}

void DestroyProducts(KVTRELAY_Product* products, size_t)
{
    std::free(products);
}

void DestroySources(KVTRELAY_Source* sources, size_t count)
{
    if (!sources)
        return;
    for (size_t i = 0; i < count; ++i) {
        std::free(sources[i].url);
        if (KVTRELAY_Proxy* proxy = sources[i].proxy) {
            std::free(proxy->host);
            std::free(proxy->user);
            std::free(proxy->password);
        }
    }
    std::free(sources);
}

const char* ContextOptions(lua_State* L, KVTRELAY_Context* context, int& removalMode)
{
    const int options = 4;
    if (lua_isnoneornil(L, options))
        return nullptr;
    if (!lua_istable(L, options))
        return "not a table of options";
    lua_pushnil(L);
    while (lua_next(L, options)) { /* key, value */
        int keyType = lua_type(L, -2);
        if (keyType != LUA_TSTRING && keyType != LUA_TNUMBER)
            return "options must be named";
        int value = lua_gettop(L);
        lua_pushvalue(L, -2); /* key, value, key text: converting the key itself would upset lua_next */
        const char* name = lua_tostring(L, -1);
        if (const char* error = applyOption(L, context, name, value, removalMode))
            return error;
        lua_pop(L, 2); /* key */
    }
    return nullptr;
}
