// Component identifiers come from Lua callers, who take them from configuration and from what
// update sources list. Any text must either be refused with a message or give an entity whose
// every string and table form can be built; the forms that promise to parse back must do so.
#include "fuzz_support.h"

#include <lua.hpp>

#include <climits>
#include <cstring>

#include "identifiers.h"

namespace {

bool sameEntity(const KVTRELAY_EntityItem& a, const KVTRELAY_EntityItem& b)
{
    return a.klass == b.klass && a.type == b.type && a.language == b.language && a.platform == b.platform &&
           a.region == b.region && a.oem == b.oem && a.version.major == b.version.major &&
           a.version.minor == b.version.minor && a.version.build == b.version.build &&
           a.version.revision == b.version.revision;
}

// Parses the string on top of the stack and pops it.
const char* parseTop(lua_State* L, KVTRELAY_EntityItem& entity)
{
    const char* error = StringToComponent(L, -1, entity);
    lua_pop(L, 1);
    return error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static lua_State* L = luaL_newstate();
    const int top = lua_gettop(L);

    lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
    KVTRELAY_EntityItem entity;
    const char* error = StringToComponent(L, -1, entity);
    FUZZ_CHECK(lua_gettop(L) == top + 1);
    lua_pop(L, 1);
    if (error) {
        FUZZ_CHECK(*error != '\0');
        return 0;
    }

    // A minor of five digits keeps four; the parser never yields more.
    FUZZ_CHECK(entity.version.minor < 10000);

    KVTRELAY_Product product;
    lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(StringToProduct(L, -1, product) == nullptr);
    lua_pop(L, 1);
    FUZZ_CHECK(product.items == nullptr && product.itemCount == 0 && sameEntity(product.entity, entity));

    ComponentToString(L, entity);
    ProductToString(L, entity);
    EntityToString(L, entity);
    ConvertVersionFormatVT2UI(L, entity.klass, entity.type, &entity.version);
    FUZZ_CHECK(lua_gettop(L) == top + 4);
    for (int i = top + 1; i <= top + 4; ++i)
        FUZZ_CHECK(lua_type(L, i) == LUA_TSTRING);
    lua_settop(L, top + 3); /* component name, product name, extract id */

    // The extract identifier names the entity without its revision, and the component name
    // names it without any version, as long as every number fits the signed forms they use.
    const bool printable =
        entity.klass >= 0 && entity.type >= 0 && entity.version.major <= INT_MAX && entity.version.build <= INT_MAX;
    KVTRELAY_EntityItem back;
    if (printable) {
        FUZZ_CHECK(parseTop(L, back) == nullptr);
        KVTRELAY_EntityItem expected = entity;
        expected.version.revision = 0;
        FUZZ_CHECK(sameEntity(back, expected));
    } else {
        lua_pop(L, 1);
    }
    lua_pop(L, 1); /* product name: its version is shortened and does not parse back exactly */
    if (entity.klass >= 0 && entity.type >= 0) {
        FUZZ_CHECK(parseTop(L, back) == nullptr);
        KVTRELAY_EntityItem expected = entity;
        expected.version = KVT_Version{};
        FUZZ_CHECK(sameEntity(back, expected));
    } else {
        lua_pop(L, 1);
    }
    FUZZ_CHECK(lua_gettop(L) == top);

    for (const bool isProduct : {false, true}) {
        EntityToLua(L, entity, isProduct);
        FUZZ_CHECK(lua_gettop(L) == top + 1);
        FUZZ_CHECK(lua_istable(L, -1) || lua_isnil(L, -1));
        lua_pop(L, 1);
    }
    if (const char* friendly = EntityFriendlyName(entity))
        FUZZ_CHECK(std::strlen(friendly) > 0);
    (void)IsScanEngine(entity);

    // A result table built from one product holding the entity twice, as the relay reports.
    KVTRELAY_EntityItem items[2] = {entity, entity};
    KVTRELAY_Product listed{};
    listed.entity = entity;
    listed.items = items;
    listed.itemCount = 2;
    KVTRELAY_Information information{};
    information.products = &listed;
    information.count = 1;
    InformationToLua(L, &information);
    FUZZ_CHECK(lua_gettop(L) == top + 1 && lua_istable(L, -1));
    lua_settop(L, top);
    return 0;
}
