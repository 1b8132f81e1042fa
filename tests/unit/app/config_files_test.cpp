// Which INI files count as damaged, and what of a damaged file is still read.
#include "cmdline/config_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

TEST(ConfigFiles, DamagedLinesAreFoundAndOnlyGoodRootEntriesKept)
{
    char dir[] = "/tmp/vka-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/a.ini";
    struct Case {
        std::string content;
        const char* reason;  // nullptr: not damaged
        const char* rootEntries;
    };
    const Case cases[] = {
        {"", nullptr, ""},
        {"; c\n# c\n\n  Trace = a=b\r\n!Fixed=1\r[g]\nk=1\n[g/h] ; c\n[ g ]\n[]\n[]\n", nullptr,
         "  Trace = a=b\n!Fixed=1\n"},
        {"a\\=b=1\n\xEF\xBB\xBFx\n", "line 2: no '=' after the name", "a\\=b=1\n"},
        {std::string("\xFF\xFE"
                     "a\0=\0"
                     "1\0",
                     8),
         nullptr, "a=1\n"},  // UTF-16
        {std::string("x=1\0\n=2\nk=3\n", 12),
         "2 lines left out, the first at line 1: a control character or binary data", "k=3\n"},
        {" = 1\n!=1\n", "2 lines left out, the first at line 1: no name before '='", ""},
        {"[g\nk=1\n", "line 1: a group header without ']'", "k=1\n"},
        {"[g] x\nk=1\n", "line 1: text after a group header", ""},
        {"[g]\n[/x/../g]\n", "line 2: a group header given twice", ""},
        {"\xFF\xFE"
         "a",
         "it cannot be read as text", ""},
    };
    for (const Case& c : cases) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(c.content.data(), 1, c.content.size(), f);
        std::fclose(f);
        const CConfigFileCheck check = CheckConfigFile(path);
        EXPECT_EQ(check.damaged, c.reason != nullptr) << c.content;
        EXPECT_EQ(check.reason, c.reason ? c.reason : "") << c.content;
        EXPECT_EQ(check.rootEntries, wxString::FromUTF8(c.rootEntries)) << c.content;
    }
    EXPECT_FALSE(CheckConfigFile(std::string(dir) + "/missing.ini").damaged);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}
