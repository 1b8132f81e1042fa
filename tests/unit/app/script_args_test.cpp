// The script-argument table built from the process command line.
#include "lua/lua_setup.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <map>
#include <string>
#include <vector>

namespace {

// Builds `arg` for words in a fresh state and reads it back as {key: word}.
std::map<long, std::string> ArgTableOf(const std::vector<const char*>& words)
{
    lua_State* L = luaL_newstate();
    wxArrayString argv;
    for (const char* word : words)
        argv.push_back(word);

    const int top = lua_gettop(L);
    SetScriptArgTable(L, argv, "N");
    EXPECT_EQ(lua_gettop(L), top) << "stack not balanced";

    std::map<long, std::string> table;
    lua_getglobal(L, "arg");
    EXPECT_TRUE(lua_istable(L, -1));
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        EXPECT_EQ(lua_type(L, -2), LUA_TNUMBER);
        table[static_cast<long>(lua_tointeger(L, -2))] = lua_tostring(L, -1);
        lua_pop(L, 1); /* the value; the key stays for lua_next */
    }
    lua_close(L);
    return table;
}

using Table = std::map<long, std::string>;

TEST(ScriptArgs, WordsAfterTheFirstSeparatorArePositiveAndTheAppNameTakesItsPlace)
{
    EXPECT_EQ(ArgTableOf({"prog", "-a", "--", "x", "y"}),
              (Table{{-2, "prog"}, {-1, "-a"}, {0, "N"}, {1, "x"}, {2, "y"}}));
    EXPECT_EQ(ArgTableOf({"prog", "--", "a", "--", "b"}),
              (Table{{-1, "prog"}, {0, "N"}, {1, "a"}, {2, "--"}, {3, "b"}}));
    EXPECT_EQ(ArgTableOf({"prog", "--"}), (Table{{-1, "prog"}, {0, "N"}}));
}

TEST(ScriptArgs, WithoutASeparatorEveryWordIsNegativeAndZeroHoldsTheAppName)
{
    EXPECT_EQ(ArgTableOf({"prog", "-a"}), (Table{{-2, "prog"}, {-1, "-a"}, {0, "N"}}));
    EXPECT_EQ(ArgTableOf({}), (Table{{0, "N"}}));
}

TEST(ScriptArgs, WordsReachLuaAsUtf8)
{
    lua_State* L = luaL_newstate();
    wxArrayString argv;
    argv.push_back("prog");
    argv.push_back("--");
    argv.push_back(wxString::FromUTF8("gr\xC3\xBC\xC3\x9F"));
    SetScriptArgTable(L, argv, wxString::FromUTF8("\xC3\xA9t\xC3\xA9"));
    lua_getglobal(L, "arg");
    lua_rawgeti(L, -1, 1);
    EXPECT_STREQ(lua_tostring(L, -1), "gr\xC3\xBC\xC3\x9F");
    lua_rawgeti(L, -2, 0);
    EXPECT_STREQ(lua_tostring(L, -1), "\xC3\xA9t\xC3\xA9");
    lua_close(L);
}

}  // namespace
