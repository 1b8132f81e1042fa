// Lua access to the relay double, so that table-driven Lua tests can script it and read what
// the module "update" passed to it. Wide strings cross as UTF-8, encoded by the relay's own converter.

#include <lua.hpp>

#include "kvtrelay_double.h"
#include "text_conversion.h"

namespace {

KvtDoubleState& st()
{
    return *kvtrelay_double_state();
}

// Encoded as the relay itself encodes wide strings for the file system.
void pushUtf8(lua_State* L, const std::wstring& w)
{
    const std::string out = kvtrelay::WideToUtf8(w.c_str());
    lua_pushlstring(L, out.data(), out.size());
}

// A string is widened byte by byte (tests use ASCII); a table lists code points.
std::wstring toWide(lua_State* L, int index)
{
    std::wstring w;
    if (lua_istable(L, index)) {
        for (int i = 1; i <= static_cast<int>(lua_rawlen(L, index)); ++i) {
            lua_rawgeti(L, index, i);
            w += static_cast<wchar_t>(lua_tointeger(L, -1));
            lua_pop(L, 1);
        }
    } else {
        size_t n = 0;
        const char* s = luaL_checklstring(L, index, &n);
        for (size_t i = 0; i < n; ++i)
            w += static_cast<wchar_t>(static_cast<unsigned char>(s[i]));
    }
    return w;
}

lua_Integer intField(lua_State* L, int index, const char* key, lua_Integer fallback)
{
    lua_getfield(L, index, key);
    lua_Integer v = lua_isnumber(L, -1) ? lua_tointeger(L, -1) : fallback;
    lua_pop(L, 1);
    return v;
}

KVTRELAY_EntityItem toEntity(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    KVTRELAY_EntityItem e{};
    e.klass = static_cast<int32_t>(intField(L, index, "klass", 0));
    e.type = static_cast<int32_t>(intField(L, index, "type", 0));
    e.language = static_cast<int32_t>(intField(L, index, "language", -1));
    e.platform = static_cast<int32_t>(intField(L, index, "platform", -1));
    e.region = static_cast<int32_t>(intField(L, index, "region", -1));
    e.oem = static_cast<int32_t>(intField(L, index, "oem", -1));
    e.version.major = static_cast<uint64_t>(intField(L, index, "major", 0));
    e.version.minor = static_cast<uint64_t>(intField(L, index, "minor", 0));
    e.version.build = static_cast<uint64_t>(intField(L, index, "build", 0));
    e.version.revision = static_cast<uint64_t>(intField(L, index, "revision", 0));
    return e;
}

void pushEntity(lua_State* L, const KVTRELAY_EntityItem& e)
{
    lua_newtable(L);
    const std::pair<const char*, lua_Integer> fields[] = {{"klass", e.klass},
                                                          {"type", e.type},
                                                          {"language", e.language},
                                                          {"platform", e.platform},
                                                          {"region", e.region},
                                                          {"oem", e.oem},
                                                          {"major", static_cast<lua_Integer>(e.version.major)},
                                                          {"minor", static_cast<lua_Integer>(e.version.minor)},
                                                          {"build", static_cast<lua_Integer>(e.version.build)},
                                                          {"revision", static_cast<lua_Integer>(e.version.revision)}};
    for (const auto& f : fields) {
        lua_pushinteger(L, f.second);
        lua_setfield(L, -2, f.first);
    }
}

KvtDoubleInformation& which(lua_State* L, int index)
{
    const char* name = luaL_checkstring(L, index);
    return std::string(name) == "get" ? st().getInformation : st().duplicate;
}

int c_reset(lua_State*)
{
    kvtrelay_double_reset();
    return 0;
}

int c_calls(lua_State* L)
{
    auto it = st().calls.find(luaL_checkstring(L, 1));
    lua_pushinteger(L, it == st().calls.end() ? 0 : it->second);
    return 1;
}

int c_startups(lua_State* L)
{
    lua_pushinteger(L, st().startupsEver);
    return 1;
}

int c_live(lua_State* L)
{
    lua_pushinteger(L, st().liveContexts);
    lua_pushinteger(L, st().liveInformations);
    return 2;
}

int c_setstatus(lua_State* L)
{
    st().statuses[luaL_checkstring(L, 1)] = static_cast<int32_t>(luaL_checkinteger(L, 2));
    return 0;
}

int c_setmessage(lua_State* L)
{
    st().statusMessage = toWide(L, 1);
    return 0;
}

int c_setversion(lua_State* L)
{
    st().version = {static_cast<uint64_t>(luaL_checkinteger(L, 1)), static_cast<uint64_t>(luaL_checkinteger(L, 2)),
                    static_cast<uint64_t>(luaL_checkinteger(L, 3)), static_cast<uint64_t>(luaL_checkinteger(L, 4))};
    return 0;
}

// setinformation("get"|"dup", { {entity}, items = {...}, absurd = true }, ... ) or nil for none
int c_setinformation(lua_State* L)
{
    KvtDoubleInformation& info = which(L, 1);
    info = KvtDoubleInformation();
    if (lua_isnoneornil(L, 2))
        return 0;
    luaL_checktype(L, 2, LUA_TTABLE);
    info.present = true;
    for (int i = 1; i <= static_cast<int>(lua_rawlen(L, 2)); ++i) {
        lua_rawgeti(L, 2, i);
        KvtDoubleProduct p;
        p.entity = toEntity(L, -1);
        lua_getfield(L, -1, "items");
        if (lua_istable(L, -1)) {
            for (int k = 1; k <= static_cast<int>(lua_rawlen(L, -1)); ++k) {
                lua_rawgeti(L, -1, k);
                p.items.push_back(toEntity(L, -1));
                lua_pop(L, 1);
            }
        }
        lua_pop(L, 1);
        lua_getfield(L, -1, "absurd");
        if (lua_toboolean(L, -1))
            p.forcedItemCount = uint64_t(1) << 60;
        lua_pop(L, 2);
        info.products.push_back(p);
    }
    return 0;
}

// addevent{type = n, message = true, information = "text", total = n, finished = n, any = true}
int c_addevent(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    KvtDoubleEvent e;
    e.type = static_cast<int>(intField(L, 1, "type", 0));
    e.total = static_cast<uint64_t>(intField(L, 1, "total", 0));
    e.finished = static_cast<uint64_t>(intField(L, 1, "finished", 0));
    lua_getfield(L, 1, "message");
    e.hasMessage = lua_toboolean(L, -1);
    lua_getfield(L, 1, "any");
    e.anyCallback = lua_toboolean(L, -1);
    lua_getfield(L, 1, "information");
    if (!lua_isnil(L, -1)) {
        e.hasInformation = true;
        e.information = toWide(L, lua_gettop(L));
    }
    lua_pop(L, 3);
    st().events.push_back(e);
    return 0;
}

int pushInts(lua_State* L, const std::vector<int>& v)
{
    lua_createtable(L, static_cast<int>(v.size()), 0);
    for (size_t i = 0; i < v.size(); ++i) {
        lua_pushinteger(L, v[i]);
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    return 1;
}

int c_callbackresults(lua_State* L)
{
    return pushInts(L, st().callbackResults);
}

int c_subscriptions(lua_State* L)
{
    return pushInts(L, st().subscriptions);
}

// options() -> { {id, value}, ... } in the order they were set
int c_options(lua_State* L)
{
    lua_newtable(L);
    int i = 0;
    for (const auto& o : st().options) {
        lua_createtable(L, 2, 0);
        lua_pushinteger(L, o.first);
        lua_rawseti(L, -2, 1);
        lua_pushinteger(L, static_cast<lua_Integer>(o.second));
        lua_rawseti(L, -2, 2);
        lua_rawseti(L, -2, ++i);
    }
    return 1;
}

// request("get"|"dup") -> nil when not called, else { products = {...}, sources = {...}, productsnull = b }
int c_request(lua_State* L)
{
    const char* name = luaL_checkstring(L, 1);
    const KvtDoubleRequest& r = std::string(name) == "get" ? st().getInformationRequest : st().duplicateRequest;
    if (!r.seen) {
        lua_pushnil(L);
        return 1;
    }
    lua_newtable(L);
    lua_pushboolean(L, r.productsNull);
    lua_setfield(L, -2, "productsnull");
    lua_newtable(L);
    for (size_t i = 0; i < r.products.size(); ++i) {
        pushEntity(L, r.products[i].entity);
        lua_newtable(L);
        for (size_t k = 0; k < r.products[i].items.size(); ++k) {
            pushEntity(L, r.products[i].items[k]);
            lua_rawseti(L, -2, static_cast<int>(k + 1));
        }
        lua_setfield(L, -2, "items");
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    lua_setfield(L, -2, "products");
    lua_newtable(L);
    for (size_t i = 0; i < r.sources.size(); ++i) {
        const KvtDoubleSource& s = r.sources[i];
        lua_newtable(L);
        if (s.hasUrl) {
            pushUtf8(L, s.url);
            lua_setfield(L, -2, "url");
        }
        if (s.hasProxy) {
            lua_newtable(L);
            lua_pushinteger(L, s.proxyType);
            lua_setfield(L, -2, "type");
            lua_pushinteger(L, s.port);
            lua_setfield(L, -2, "port");
            if (s.hasHost) {
                pushUtf8(L, s.host);
                lua_setfield(L, -2, "host");
            }
            if (s.hasUser) {
                pushUtf8(L, s.user);
                lua_setfield(L, -2, "user");
            }
            if (s.hasPassword) {
                pushUtf8(L, s.password);
                lua_setfield(L, -2, "password");
            }
            lua_setfield(L, -2, "proxy");
        }
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    lua_setfield(L, -2, "sources");
    return 1;
}

int c_repository(lua_State* L)
{
    if (st().lastRepositoryNull)
        lua_pushnil(L);
    else
        pushUtf8(L, st().lastRepository);
    return 1;
}

// repositorycodes() -> the code points of the last repository path
int c_repositorycodes(lua_State* L)
{
    std::vector<int> v;
    for (wchar_t c : st().lastRepository)
        v.push_back(static_cast<int>(c));
    return pushInts(L, v);
}

int c_export(lua_State* L)
{
    pushEntity(L, st().exportEntity);
    pushUtf8(L, st().exportDestination);
    lua_setfield(L, -2, "destination");
    return 1;
}

const luaL_Reg kFunctions[] = {
    {"reset", c_reset},
    {"calls", c_calls},
    {"startups", c_startups},
    {"live", c_live},
    {"setstatus", c_setstatus},
    {"setmessage", c_setmessage},
    {"setversion", c_setversion},
    {"setinformation", c_setinformation},
    {"addevent", c_addevent},
    {"callbackresults", c_callbackresults},
    {"subscriptions", c_subscriptions},
    {"options", c_options},
    {"request", c_request},
    {"repository", c_repository},
    {"repositorycodes", c_repositorycodes},
    {"export", c_export},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_kvtrelay_control(lua_State* L)
{
    luaL_newlib(L, kFunctions);
    return 1;
}
