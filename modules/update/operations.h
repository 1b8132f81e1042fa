#pragma once
// The working functions of the module: list, download, extract and clear a repository.

#include <cstdint>

#include <lua.hpp>

#include "kvtrelay.h"

/// Which items a filtered download keeps.
typedef bool (*ItemFilter)(const KVTRELAY_EntityItem& item, const KVTRELAY_Product* filter, size_t filterCount);

/// Lists the information for a request, then downloads only the items that pass `accept`.
/// Returns the download's status and information, or -4 when its storage cannot be allocated.
int32_t FilteredDownload(KVTRELAY_Context* context, const KVTRELAY_Product* products, size_t productCount,
                         const KVTRELAY_Source* sources, size_t sourceCount, ItemFilter accept,
                         const KVTRELAY_Product* filter, size_t filterCount, KVTRELAY_Information** information);

int l_list(lua_State* L);
int l_everything(lua_State* L);
int l_patterns(lua_State* L);
int l_patternsExceptMezra(lua_State* L);
int l_components(lua_State* L);
int l_extract(lua_State* L);
int l_removevt(lua_State* L);
