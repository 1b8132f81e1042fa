// The archive module searcher: order of archives and entries, chunk names, the not-found
// message, skipped archives, damaged data and the catalogue cache.

#include "dom.h"
#include "service_test_support.h"

#include <lua.hpp>

#include <gtest/gtest.h>

#include <wx/log.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using VkaCore::CDom;

namespace {

void writeFile(const std::string& path, const std::string& content)
{
    std::string::size_type slash = path.find_last_of('/');
    std::system(("mkdir -p '" + path.substr(0, slash) + "'").c_str());
    std::ofstream(path, std::ios::binary) << content;
}

class ArchiveSearcher : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp.empty());
        dom = CDom::New(nullptr, nullptr, nullptr, false);
        L = luaL_newstate();
        luaL_openlibs(L);
        dom->RegisterLoader(L);
    }
    void TearDown() override
    {
        lua_close(L);
        dom->Dispose();
    }

    // Makes <tmp>/<name> from (entry, content) pairs with the zip tool; extra are its options.
    std::string makeZip(const std::string& name, const std::vector<std::pair<std::string, std::string>>& entries,
                        const std::string& extra = "")
    {
        std::string stage = tmp + "/stage_" + name;
        std::string list;
        for (const auto& e : entries) {
            writeFile(stage + "/" + e.first, e.second);
            list += " '" + e.first + "'";
        }
        std::string archive = tmp + "/" + name;
        std::string cmd =
            "cd '" + stage + "' && rm -f '" + archive + "' && zip -q " + extra + " '" + archive + "'" + list;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::system(("rm -rf '" + stage + "'").c_str());
        return archive;
    }

    std::string eval(const std::string& code) { return VkaTest::EvalLua(L, code); }

    VkaTest::TempDir m_dir;
    const std::string tmp = m_dir.path();
    CDom* dom = nullptr;
    lua_State* L = nullptr;
};

const char* const kDescribe = "local name, file = ... "
                              "return { name = name, file = file, source = debug.getinfo(1, 'S').source, kind = '%s' }";

std::string describing(const char* kind)
{
    char buf[256];
    snprintf(buf, sizeof buf, kDescribe, kind);
    return buf;
}

}  // namespace

TEST_F(ArchiveSearcher, IsInstalledOnceRightAfterThePreloadSearcher)
{
    EXPECT_EQ(eval("return #package.searchers"), "5");
    EXPECT_EQ(eval("return debug.getinfo(package.searchers[2], 'S').what"), "C");
    dom->RegisterLoader(L);  // twice for the same domain adds nothing
    EXPECT_EQ(eval("return #package.searchers"), "5");
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(ArchiveSearcher, FindsModulesInListOrderPreferringPlainEntriesOverInit)
{
    // Without extra attributes (-X) the local and central headers have equal extra fields;
    // with them (the second archive) they differ, and the data offset must come from the
    // local header.
    std::string first = makeZip("first.vke", {{"other.lua", "return 'other'"}, {"dup.lua", "return 'first'"}}, "-X");
    std::string second = makeZip("second.vke", {{"a/b.lua", describing("file")},
                                                {"a/b/init.lua", describing("init")},
                                                {"c/init.lua", describing("init")},
                                                {"dup.lua", "return 'second'"}});
    dom->Set("app.lua.zippath", first + ";" + second);

    EXPECT_EQ(eval("local m = require 'a.b' return m.kind .. '|' .. m.name .. '|' .. m.file .. '|' .. m.source"),
              "file|a.b|" + second + "/a/b.lua|@" + second + "/a/b.lua");
    EXPECT_EQ(eval("local m = require 'c' return m.kind .. '|' .. m.file .. '|' .. m.source"),
              "init|" + second + "/c/init.lua|@" + second + "/c/init.lua");
    EXPECT_EQ(eval("return require 'dup'"), "first");
    EXPECT_EQ(eval("return require 'other'"), "other");
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(ArchiveSearcher, NotFoundNamesEveryEntryAndArchiveSearched)
{
    std::string first = makeZip("first.vke", {{"x.lua", "return 1"}});
    std::string second = makeZip("second.vke", {{"y.lua", "return 1"}});
    dom->Set("app.lua.zippath", ";" + first + ";;" + second + ";");  // empty items are ignored
    std::string msg = eval("package.path = '' package.cpath = '' require 'no.such'");
    std::string expected = "\n\tno entry 'no/such.lua' in archive '" + first + "'" +
                           "\n\tno entry 'no/such/init.lua' in archive '" + first + "'" +
                           "\n\tno entry 'no/such.lua' in archive '" + second + "'" +
                           "\n\tno entry 'no/such/init.lua' in archive '" + second + "'";
    EXPECT_EQ(msg, "error: t:1: module 'no.such' not found:\n\tno field package.preload['no.such']" + expected) << msg;
}

TEST_F(ArchiveSearcher, MissingAndDamagedArchivesWarnOnceAndAreSkipped)
{
    std::string good = makeZip("good.vke", {{"m1.lua", "return 1"}, {"m2.lua", "return 2"}, {"m3.lua", "return 3"}});
    std::string garbage = tmp + "/garbage.vke";
    writeFile(garbage, std::string(5000, 'Z'));
    std::string truncated = tmp + "/truncated.vke";
    writeFile(truncated, VkaTest::ReadFile(good).substr(0, 120));
    std::string empty = tmp + "/empty.vke";
    writeFile(empty, "");
    std::string missing = tmp + "/missing.vke";
    dom->Set("app.lua.zippath", missing + ";" + garbage + ";" + truncated + ";" + empty + ";" + tmp + ";" + good);

    VkaTest::LogCapture capture;
    EXPECT_EQ(eval("return require('m1') + require('m2') + require('m3')"), "6");
    EXPECT_EQ(eval("return (pcall(require, 'none'))"), "false");
    ASSERT_EQ(capture.At(wxLOG_Warning).size(), 5u);
    EXPECT_EQ(capture.At(wxLOG_Warning)[0], "Lua archive '" + missing + "' skipped: No such file or directory");
    EXPECT_EQ(capture.At(wxLOG_Warning)[1].find("Lua archive '" + garbage + "' skipped: not a ZIP archive"), 0u)
        << capture.At(wxLOG_Warning)[1];
    EXPECT_EQ(capture.At(wxLOG_Warning)[2].find("Lua archive '" + truncated + "' skipped: "), 0u)
        << capture.At(wxLOG_Warning)[2];
    EXPECT_EQ(capture.At(wxLOG_Warning)[3].find("Lua archive '" + empty + "' skipped: "), 0u)
        << capture.At(wxLOG_Warning)[3];
    EXPECT_EQ(capture.At(wxLOG_Warning)[4], "Lua archive '" + tmp + "' skipped: not a regular file (a folder)");
}

TEST_F(ArchiveSearcher, DamagedEntryDataIsALoadErrorNotACrash)
{
    std::string body = "return '" + std::string(2000, 'q') + "'";
    std::string archive = makeZip("bad.vke", {{"bad.lua", body}, {"fine.lua", "return 'fine'"}}, "-X");
    std::string bytes = VkaTest::ReadFile(archive);
    // With -X the first entry's data starts right after its 30-byte local header and its name.
    size_t dataStart = 30 + std::string("bad.lua").size();
    for (size_t i = dataStart + 2; i < dataStart + 12; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    writeFile(archive, bytes);
    dom->Set("app.lua.zippath", archive);

    std::string msg = eval("require 'bad'");
    EXPECT_EQ(msg.find("error: error loading module 'bad' from file '" + archive + "/bad.lua':\n\t"), 0u) << msg;
    EXPECT_EQ(eval("return require 'fine'"), "fine");
}

TEST_F(ArchiveSearcher, StoredEntriesLoadAndSyntaxErrorsNameTheEntry)
{
    std::string archive = makeZip("stored.vke", {{"s.lua", "return 'stored'"}, {"broken.lua", "return +"}}, "-0");
    dom->Set("app.lua.zippath", archive);
    EXPECT_EQ(eval("return require 's'"), "stored");
    EXPECT_EQ(eval("require 'broken'"), "error: error loading module 'broken' from file '" + archive +
                                            "/broken.lua':\n\t" + archive +
                                            "/broken.lua:1: unexpected symbol near '+'");
}

TEST_F(ArchiveSearcher, ChangedArchiveIsReadAgain)
{
    std::string archive = makeZip("changing.vke", {{"one.lua", "return 1"}});
    dom->Set("app.lua.zippath", archive);
    EXPECT_EQ(eval("return require 'one'"), "1");
    EXPECT_EQ(eval("return (pcall(require, 'two'))"), "false");
    makeZip("changing.vke", {{"one.lua", "return 1"}, {"two.lua", "return 2"}});
    EXPECT_EQ(eval("return require 'two'"), "2");
}

TEST_F(ArchiveSearcher, ArchiveThatBecomesReadableAgainIsUsedAndWarnsAgainWhenBroken)
{
    std::string path = tmp + "/flaky.vke";
    dom->Set("app.lua.zippath", path);
    VkaTest::LogCapture capture;
    EXPECT_EQ(eval("return (pcall(require, 'f'))"), "false");
    makeZip("flaky.vke", {{"f.lua", "return 'back'"}});
    EXPECT_EQ(eval("return require 'f'"), "back");
    EXPECT_EQ(capture.At(wxLOG_Warning).size(), 1u);
    writeFile(path, "not a zip any more");
    EXPECT_EQ(eval("package.loaded.f = nil return (pcall(require, 'f'))"), "false");
    EXPECT_EQ(capture.At(wxLOG_Warning).size(), 2u);
}

TEST_F(ArchiveSearcher, Zip64ArchivesAreRead)
{
    // -fz writes the ZIP64 end records and 64-bit extra fields even for a small archive.
    std::string archive = makeZip("z64.vke", {{"wide.lua", "return 64"}, {"pkg/init.lua", "return 'pkg'"}}, "-fz");
    dom->Set("app.lua.zippath", archive);
    EXPECT_EQ(eval("return require 'wide'"), "64");
    EXPECT_EQ(eval("return require 'pkg'"), "pkg");
}
