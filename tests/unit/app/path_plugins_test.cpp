// Plugin-list expansion of Lua search path lists.

#include "cmdline/path_plugins.h"

#include <gtest/gtest.h>

namespace {

struct ExpansionCase {
    const char* path;
    const char* plugins;
    const char* expected;
    const char* why;
};

const ExpansionCase kCases[] = {
    {"a/@.lua;b.lua", "", "a/@.lua;b.lua", "without plugins the path is unchanged"},
    {";;x;", "", ";;x;", "without plugins the path is unchanged, separators too"},
    {"", "", "", "nothing stays nothing"},
    {"lib/@/?.lua;std/?.lua", "x,y", "lib/x/?.lua;lib/y/?.lua;std/?.lua;std/?.lua", "element-major repetition"},
    {"a/@.lua;b.lua", "p1,p2", "a/p1.lua;a/p2.lua;b.lua;b.lua", "elements without @ repeat too"},
    {"@/@.so", "m", "m/m.so", "every @ of an element is replaced"},
    {"@", " a , b", " a ; b", "pieces are not trimmed"},
    {"", "x,y", "", "an empty path gives nothing"},
    {"a;;b", "x", "a;;b", "an empty element between two stays"},
    {"a;;;b", "x", "a;;;b", "empty elements between two stay"},
    {";a", "x", "a", "a leading empty element vanishes in the join"},
    {";;a", "x", "a", "leading empty elements vanish in the join"},
    {"d/@", "x,,y", "d/x;d/;d/y", "an empty plugin name in the middle keeps its place"},
    {"@;b", ",x", "x;b;b", "a leading empty plugin name vanishes"},
    {"a;", "x", "a", "a separator at the end gives no piece"},
    {"a;;", "x", "a", "separators at the end give no piece"},
    {"d/@", "x,", "d/x", "a plugin separator at the end gives no piece"},
    {"d/@", "x,y,,", "d/x;d/y", "plugin separators at the end give no piece"},
    {"a/@.lua;b", ",", "a/.lua;b", "plugin list \",\" is one empty name"},
    {"a/@.lua;b", ",,,", "a/.lua;b", "only plugin separators is one empty name"},
    {";", "x,y", "", "path \";\" is one empty element, which vanishes"},
    {";;;", "x", "", "only path separators vanish"},
};

TEST(ExpandPathPlugins, Cases)
{
    for (const ExpansionCase& c : kCases)
        EXPECT_EQ(ExpandPathPlugins(wxString(c.path), wxString(c.plugins)).ToStdString(), c.expected)
            << "path '" << c.path << "', plugins '" << c.plugins << "': " << c.why;
}

TEST(ExpandPathPlugins, LeavesItsArgumentsAlone)
{
    const wxString path("x/@");
    const wxString plugins("p,q");
    EXPECT_EQ(ExpandPathPlugins(path, plugins), "x/p;x/q");
    EXPECT_EQ(path, "x/@");
    EXPECT_EQ(plugins, "p,q");
}

TEST(ExpandPathPlugins, StopsJustPastTheLimitWhateverItIsGiven)
{
    // 40,000 elements for 40,000 plugins would be billions of characters.
    wxString path = "@", plugins = "p";
    for (int i = 1; i < 40000; ++i) {
        path << ";@";
        plugins << ",p";
    }
    const wxString expanded = ExpandPathPlugins(path, plugins);
    EXPECT_GT(expanded.length(), kMaxExpandedPath);
    EXPECT_LE(expanded.length(), kMaxExpandedPath + 3);
}

}  // namespace
