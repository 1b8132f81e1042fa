#pragma once
// Component identifiers: the compact strings ("c3t4v9.5l1") that name relay entities in Lua,
// the string forms produced from an entity, display versions, friendly names and the Lua tables
// of entities and informations.

#include <lua.hpp>

#include "kvtrelay.h"

/// Parses the identifier at `index` into `entity`; null on success, else the error message.
const char* StringToComponent(lua_State* L, int index, KVTRELAY_EntityItem& entity);

/// As StringToComponent for a product's entity; the product gets no items.
const char* StringToProduct(lua_State* L, int index, KVTRELAY_Product& product);

/// Pushes the component name, "c%dt%dl%dp%dr%do%d".
void ComponentToString(lua_State* L, const KVTRELAY_EntityItem& entity);

/// Pushes the product name, which carries a shortened version.
void ProductToString(lua_State* L, const KVTRELAY_EntityItem& entity);

/// Pushes the extract identifier, which parses back to the entity without its revision.
void EntityToString(lua_State* L, const KVTRELAY_EntityItem& entity);

/// True for the scan engine entities, whose minor versions display with trailing zeros.
bool IsScanEngine(const KVTRELAY_EntityItem& entity);

/// Pushes the version as users see it for an entity of this klass and type.
void ConvertVersionFormatVT2UI(lua_State* L, int32_t klass, int32_t type, const KVT_Version* version);

/// The friendly name of a well-known entity, or null.
const char* EntityFriendlyName(const KVTRELAY_EntityItem& entity);

/// Pushes the entity's table, or nil for an entity marked hidden (-10 in a field).
void EntityToLua(lua_State* L, const KVTRELAY_EntityItem& entity, bool isProduct);
void ComponentToLua(lua_State* L, const KVTRELAY_EntityItem& entity);
void ProductToLua(lua_State* L, const KVTRELAY_EntityItem& entity);

/// Pushes the result table of an operation: products and their items, numbered, plus each
/// entry with a friendly name under that name.
void InformationToLua(lua_State* L, const KVTRELAY_Information* information);

/// Lua tocomponent(id) and toproduct(id).
int l_tocomponent(lua_State* L);
int l_toproduct(lua_State* L);
