// Plugin-list expansion of Lua search path lists.

#include "cmdline/path_plugins.h"

#include <gtest/gtest.h>

namespace {

std::string expand(const char* path, const char* plugins)
{
    return ExpandPathPlugins(wxString(path), wxString(plugins)).ToStdString();
}

TEST(ExpandPathPlugins, WithoutPluginsReturnsThePathUnchanged)
{
    EXPECT_EQ(expand("a/@.lua;b.lua", ""), "a/@.lua;b.lua");
    EXPECT_EQ(expand(";;x;", ""), ";;x;");
    EXPECT_EQ(expand("", ""), "");
}

TEST(ExpandPathPlugins, RepeatsEachElementPerPluginElementMajor)
{
    EXPECT_EQ(expand("lib/@/?.lua;std/?.lua", "x,y"), "lib/x/?.lua;lib/y/?.lua;std/?.lua;std/?.lua");
    EXPECT_EQ(expand("a/@.lua;b.lua", "p1,p2"), "a/p1.lua;a/p2.lua;b.lua;b.lua");
    // Every "@" of an element is replaced, not only the first.
    EXPECT_EQ(expand("@/@.so", "m"), "m/m.so");
    // Pieces are not trimmed.
    EXPECT_EQ(expand("@", " a , b"), " a ; b");
}

TEST(ExpandPathPlugins, LeavesItsArgumentsAlone)
{
    const wxString path("x/@");
    const wxString plugins("p,q");
    EXPECT_EQ(ExpandPathPlugins(path, plugins), "x/p;x/q");
    EXPECT_EQ(path, "x/@");
    EXPECT_EQ(plugins, "p,q");
}

TEST(ExpandPathPlugins, EmptyPathGivesNothing)
{
    EXPECT_EQ(expand("", "x,y"), "");
}

TEST(ExpandPathPlugins, EmptyPiecesInsideAreKeptButVanishAtTheStart)
{
    // An empty element between two others stays as an empty element of the list.
    EXPECT_EQ(expand("a;;b", "x"), "a;;b");
    EXPECT_EQ(expand("a;;;b", "x"), "a;;;b");
    // Leading empty elements produce empty pieces that the join swallows.
    EXPECT_EQ(expand(";a", "x"), "a");
    EXPECT_EQ(expand(";;a", "x"), "a");
    // An empty plugin name in the middle keeps its place.
    EXPECT_EQ(expand("d/@", "x,,y"), "d/x;d/;d/y");
    EXPECT_EQ(expand("@;b", ",x"), "x;b;b");
}

TEST(ExpandPathPlugins, SeparatorsAtTheEndProduceNoPiece)
{
    EXPECT_EQ(expand("a;", "x"), "a");
    EXPECT_EQ(expand("a;;", "x"), "a");
    EXPECT_EQ(expand("d/@", "x,"), "d/x");
    EXPECT_EQ(expand("d/@", "x,y,,"), "d/x;d/y");
}

TEST(ExpandPathPlugins, OnlySeparatorsIsOneEmptyPiece)
{
    // Plugin list "," is one empty name: each element once, with "@" removed.
    EXPECT_EQ(expand("a/@.lua;b", ","), "a/.lua;b");
    EXPECT_EQ(expand("a/@.lua;b", ",,,"), "a/.lua;b");
    // Path ";" is one empty element, which vanishes.
    EXPECT_EQ(expand(";", "x,y"), "");
    EXPECT_EQ(expand(";;;", "x"), "");
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
