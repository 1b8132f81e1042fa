// The module searcher over the Lua archives listed in "app.lua.zippath".

#include "archive_catalogue.h"
#include "dom.h"

#include <lua.hpp>

#include <string>
#include <vector>

namespace VkaCore {

namespace {

// Separates the archives of "app.lua.zippath"; the host writes the list with the same
// character, kArchiveListSeparator in app/searchpath/archive_list.h.
const char kZippathSeparator = ';';

std::vector<std::string> splitList(const std::string& list)
{
    std::vector<std::string> items;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find(kZippathSeparator, start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            items.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// Does the work of the searcher. Lua errors unwind with longjmp, which would skip the
// destructors of the strings and catalogues here, so failures are left on the stack and
// raised by the caller once this frame is gone. Returns the number of results, or -1 when
// the message on top of the stack must be raised.
int searchArchives(lua_State* L, const CDom* dom, const char* moduleName)
{
    std::string base(moduleName);
    for (char& c : base)
        if (c == '.')
            c = '/';
    const std::string candidates[2] = {base + ".lua", base + "/init.lua"};

    std::string notFound;
    // The list is read at every search: the host may change it between requires.
    for (const std::string& archive : splitList(dom->Get("app.lua.zippath"))) {
        std::shared_ptr<const CArchiveCatalogue> catalogue = CachedArchiveCatalogue(archive);
        for (const std::string& entryName : candidates) {
            const ArchiveEntry* entry = catalogue ? catalogue->Find(entryName) : nullptr;
            if (!entry) {
                notFound += "\n\tno entry '" + entryName + "' in archive '" + archive + "'";
                continue;
            }
            std::string fileName = archive + "/" + entryName;
            std::string data, reason;
            if (!catalogue->ReadEntry(*entry, data, reason)) {
                lua_pushfstring(L, "error loading module '%s' from file '%s':\n\t%s", moduleName, fileName.c_str(),
                                reason.c_str());
                return -1;
            }
            std::string chunkName = "@" + fileName;
            if (luaL_loadbuffer(L, data.data(), data.size(), chunkName.c_str()) != LUA_OK) {  // msg
                lua_pushfstring(L, "error loading module '%s' from file '%s':\n\t%s", moduleName, fileName.c_str(),
                                lua_tostring(L, -1));
                lua_remove(L, -2); /* keep only the full message */
                return -1;
            }
            // loader, plus the file name that require hands to the loader as its second argument
            lua_pushlstring(L, fileName.data(), fileName.size());
            return 2;
        }
    }
    lua_pushlstring(L, notFound.data(), notFound.size());
    return 1;
}

int archiveSearcher(lua_State* L)
{
    const char* name = luaL_checkstring(L, 1);
    const CDom* dom = static_cast<const CDom*>(lua_touserdata(L, lua_upvalueindex(1)));
    int results = searchArchives(L, dom, name);
    if (results < 0)
        return lua_error(L);
    return results;
}

}  // namespace

void CDom::RegisterLoader(lua_State* L)
{
    lua_getglobal(L, "package");  // package
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        luaL_error(L, "cannot install the archive searcher: 'package' is not a table");
        return;
    }
    lua_getfield(L, -1, "searchers");  // package searchers
    if (!lua_istable(L, -1)) {
        lua_pop(L, 2);
        luaL_error(L, "cannot install the archive searcher: 'package.searchers' is not a table");
        return;
    }
    int count = static_cast<int>(lua_rawlen(L, -1));
    // Installing twice for the same domain would search every archive twice on a miss.
    for (int i = 1; i <= count; ++i) {
        lua_rawgeti(L, -1, i);  // package searchers fn
        bool ours = lua_tocfunction(L, -1) == archiveSearcher && lua_getupvalue(L, -1, 1) != nullptr;
        if (ours) {
            ours = lua_touserdata(L, -1) == this;
            lua_pop(L, 1); /* upvalue */
        }
        lua_pop(L, 1); /* fn */
        if (ours) {
            lua_pop(L, 2);
            return;
        }
    }
    // Right after the preload searcher, so archives win over plain files and C modules.
    int position = count >= 1 ? 2 : 1;
    for (int i = count; i >= position; --i) {
        lua_rawgeti(L, -1, i);
        lua_rawseti(L, -2, i + 1); /* searchers[i + 1] = searchers[i] */
    }
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, archiveSearcher, 1);
    lua_rawseti(L, -2, position);
    lua_pop(L, 2);  // package searchers
}

}  // namespace VkaCore
