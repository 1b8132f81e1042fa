// The chunk that hands the unit-test selection to the Lua runner.
#include "lua/unit_test_mode.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>

namespace {

// What Lua makes of a literal: the string it denotes, or the compile error.
std::string ValueOfLiteral(const wxString& literal)
{
    lua_State* L = luaL_newstate();
    const std::string chunk = "return " + std::string(literal.utf8_str());
    std::string value;
    if (luaL_loadstring(L, chunk.c_str()) != 0 || lua_pcall(L, 0, 1, 0) != 0) {
        value = std::string("error: ") + lua_tostring(L, -1);
    } else {
        size_t len = 0;
        const char* s = lua_tolstring(L, -1, &len);
        value.assign(s, len);
    }
    lua_close(L);
    return value;
}

TEST(UnitTestChunk, PlainSelectionGivesTheRunnerCallVerbatim)
{
    EXPECT_EQ(BuildUnitTestChunk("tests/test_all.lua"),
              "vkaunit = require('tests.vkaunit'); return vkaunit(\"tests/test_all.lua\");");
    EXPECT_EQ(BuildUnitTestChunk("tests/*_test.lua"),
              "vkaunit = require('tests.vkaunit'); return vkaunit(\"tests/*_test.lua\");");
}

// Regression: a quote in the selection closed the literal early, so the rest of the value ran
// as Lua code or broke the chunk.
TEST(UnitTestChunk, QuotesBackslashesAndLineBreaksReachTheRunnerUnchanged)
{
    const char* samples[] = {
        "a\"b.lua",
        "dir\\file.lua",
        "x\"); os.exit(9); --",
        "line\nbreak\r.lua",
        "tab\there\x01\x1f\x7f"
        "9.lua",
        "\\\"",
        "",
        "t\xC3\xA9st\xE2\x82\xAC.lua",
    };
    for (const char* sample : samples) {
        const wxString text = wxString::FromUTF8(sample);
        EXPECT_EQ(ValueOfLiteral(LuaStringLiteral(text)), sample) << sample;
        EXPECT_EQ(BuildUnitTestChunk(text).Find('\n'), wxNOT_FOUND) << sample;
    }
}

}  // namespace
