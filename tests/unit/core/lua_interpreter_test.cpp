// The interpreter object: the chunk runner's contract (results, status, stack, output,
// error text) and the module search paths.

#include "lua_interpreter.h"

#include <lua.hpp>

#include <gtest/gtest.h>

#include <wx/mstream.h>
#include <wx/sstream.h>

#include <string>

using VkaCore::CLuaInterpreter;

namespace {

struct RunResult {
    int status;
    std::string output;
};

RunResult runChunk(CLuaInterpreter& lua, const std::string& code, int nargs = 0, int nresults = 1,
                   const wxString& name = "chunk")
{
    wxMemoryInputStream in(code.data(), code.size());
    wxMemoryOutputStream out;
    int status = lua.RunScript(in, nargs, nresults, name, &out);
    std::string text(out.GetLength(), '\0');
    if (!text.empty())
        out.CopyTo(&text[0], text.size());
    return {status, text};
}

// Runs a chunk that must fail with status and leave the stack empty; gives the error text.
std::string failureText(CLuaInterpreter& lua, const std::string& code, int status, const wxString& name)
{
    RunResult r = runChunk(lua, code, 0, 1, name);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(lua_gettop(lua.L()), 0);
    return lua.GetErrorInfo().ToStdString();
}

std::string field(lua_State* L, const char* table, const char* key)
{
    lua_getglobal(L, table);
    lua_getfield(L, -1, key);
    std::string value = lua_tostring(L, -1) ? lua_tostring(L, -1) : "";
    lua_pop(L, 2);
    return value;
}

}  // namespace

TEST(LuaRunScript, SuccessLeavesExactlyTheResultsAsked)
{
    CLuaInterpreter lua(false, "test.lua", true);
    lua_State* L = lua.L();
    lua_pushliteral(L, "below");  // something of the caller's that must stay put
    RunResult r = runChunk(lua, "return 42, 'ignored'");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(lua_gettop(L), 2);
    EXPECT_EQ(lua_tointeger(L, -1), 42);
    lua_pop(L, 1);

    r = runChunk(lua, "return", 0, 1);  // too few results are padded with nil
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lua_gettop(L), 2);
    EXPECT_TRUE(lua_isnil(L, -1));
    lua_pop(L, 1);

    r = runChunk(lua, "return 1, 2, 3", 0, 0);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lua_gettop(L), 1);
    EXPECT_STREQ(lua_tostring(L, 1), "below");
    EXPECT_EQ(lua.L(), L);
}

TEST(LuaRunScript, ArgumentsReachTheChunkAndAreConsumed)
{
    CLuaInterpreter lua(false, "test.lua", true);
    lua_State* L = lua.L();
    lua_pushinteger(L, 2);
    lua_pushinteger(L, 3);
    RunResult r = runChunk(lua, "local a, b = ... return a * b", 2, 1);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(lua_gettop(L), 1);
    EXPECT_EQ(lua_tointeger(L, -1), 6);
    lua_pop(L, 1);

    lua_pushinteger(L, 2);
    r = runChunk(lua, "error('no')", 1, 1);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST(LuaRunScript, RuntimeErrorGivesStatusMessageAndTraceback)
{
    CLuaInterpreter lua(false, "test.lua", true);
    lua_State* L = lua.L();
    std::string info =
        failureText(lua, "local function inner() error('boom') end\ninner()\nreturn 0", LUA_ERRRUN, "agent");
    EXPECT_EQ(info.find("agent:1: boom\nstack traceback:"), 0u) << info;
    EXPECT_NE(info.find("agent:2: in main chunk"), std::string::npos) << info;
    EXPECT_NE(info.find("'inner'"), std::string::npos) << info;

    // A later success clears the text, so a caller never reports an old failure.
    RunResult r = runChunk(lua, "return 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lua.GetErrorInfo(), "");
    lua_settop(L, 0);
}

TEST(LuaRunScript, SyntaxErrorsAndOddErrorValues)
{
    CLuaInterpreter lua(false, "test.lua", true);
    lua_State* L = lua.L();
    std::string info = failureText(lua, "return +", LUA_ERRSYNTAX, "broken");
    EXPECT_EQ(info.find("broken:1: unexpected symbol near '+'"), 0u) << info;
    EXPECT_NE(info.find("stack traceback:"), std::string::npos) << info;

    RunResult r = runChunk(lua, "error({})");
    EXPECT_EQ(r.status, LUA_ERRRUN);
    EXPECT_EQ(lua.GetErrorInfo().ToStdString().find("(error object is a table value)"), 0u);

    r = runChunk(lua, "error(setmetatable({}, {__tostring = function() return 'custom' end}))");
    EXPECT_EQ(r.status, LUA_ERRRUN);
    EXPECT_EQ(lua.GetErrorInfo(), "custom");

    // A chunk name that already carries Lua's file prefix is kept as it is.
    r = runChunk(lua, "error('x')", 0, 1, "@/opt/a.lua");
    EXPECT_EQ(lua.GetErrorInfo().ToStdString().find("/opt/a.lua:1: x"), 0u);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST(LuaRunScript, PrintWritesToTheRunsOutput)
{
    CLuaInterpreter lua(false, "test.lua", true);
    RunResult r = runChunk(lua, "print(1, 'a', nil, true, setmetatable({}, {__tostring = function() return 'T' end}))\n"
                                "print()\nprint('x\\0y')\nreturn 0");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.output, std::string("1\ta\tnil\ttrue\tT\n\nx\0y\n", 20));
    lua_settop(lua.L(), 0);

    // A print kept from an earlier run writes to the current run's output.
    runChunk(lua, "saved = print return 0");
    r = runChunk(lua, "saved('again') return 0");
    EXPECT_EQ(r.output, "again\n");

    r = runChunk(lua, "tostring = function() return nil end print(1)");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(lua.GetErrorInfo().Find("'tostring' must return a string to 'print'"), wxNOT_FOUND);
    lua_settop(lua.L(), 0);
}

TEST(LuaRunScript, ReadsLongChunksWhole)
{
    CLuaInterpreter lua(false, "test.lua", true);
    std::string code = "local t = 0\n";
    for (int i = 0; i < 5000; ++i)
        code += "t = t + 1 -- padding padding padding padding\n";
    code += "return t";
    wxStringInputStream in(wxString::FromUTF8(code.c_str()));
    wxMemoryOutputStream out;
    ASSERT_EQ(lua.RunScript(in, 0, 1, "long", &out), 0);
    EXPECT_EQ(lua_tointeger(lua.L(), -1), 5000);
}

TEST(LuaPackagePaths, OrderIsGivenThenBinThenDefaults)
{
    CLuaInterpreter lua(false, "test.lua", true);
    lua.SetPackagePaths("/opt/vk", "/x/?.lua;/y/?.lua", "/x/?.so");
    EXPECT_EQ(field(lua.L(), "package", "path"),
              std::string("/x/?.lua;/y/?.lua;/opt/vk/lua/?.lua;/opt/vk/lua/?/init.lua;") + LUA_PATH_DEFAULT);
    EXPECT_EQ(field(lua.L(), "package", "cpath"), std::string("/x/?.so;/opt/vk/lib/?.so;") + LUA_CPATH_DEFAULT);

    // Empty values are left out, and a second call replaces rather than grows the paths.
    lua.SetPackagePaths("/opt/vk/", "", "");
    EXPECT_EQ(field(lua.L(), "package", "path"),
              std::string("/opt/vk/lua/?.lua;/opt/vk/lua/?/init.lua;") + LUA_PATH_DEFAULT);
    EXPECT_EQ(field(lua.L(), "package", "cpath"), std::string("/opt/vk/lib/?.so;") + LUA_CPATH_DEFAULT);
    EXPECT_EQ(lua_gettop(lua.L()), 0);
}
