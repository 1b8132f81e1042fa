// The companion ".version" file decides whether an extension joins the search path; every
// refusal is explained by exactly one warning.
#include "searchpath/extension_version.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <wx/log.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class ExtensionVersion : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vka-extver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_extension = m_dir + "/Foo.vke";
    }

    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    void writeCompanion(const std::string& content)
    {
        FILE* f = std::fopen((m_extension + ".version").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }

    // The check's result, with the one warning it must have logged (empty when none).
    bool check(wxString& warning)
    {
        m_log.records.clear();
        const bool ok = ExtensionVersionMatchesCore(m_extension);
        warning.clear();
        EXPECT_LE(m_log.records.size(), 1u);
        for (const auto& entry : m_log.records) {
            EXPECT_EQ(entry.level, wxLOG_Warning);
            warning = entry.text;
        }
        return ok;
    }

    wxString noVersionLine() const
    {
        return "File '" + m_extension + ".version' does not contain a 'version:' line. Extension '" + m_extension +
               "' will not be enabled.";
    }

    wxString malformed() const
    {
        return "File '" + m_extension + ".version' did not contain a properly formatted 'version:' line. Extension '" +
               m_extension + "' will not be enabled.";
    }

    std::string m_dir;
    std::string m_extension;
    VkaTest::LogCapture m_log;
};

TEST_F(ExtensionVersion, CoreVersionIsAdmittedSilently)
{
    const char* accepted[] = {
        "version: 10.0.0-4015\n",
        "version:10.0.0-1\n",
        "version: 10.0.0-4015 built on Tuesday\n",
        "version: 10.0.0-0\n",
        "version: 10.0.0-4015",                          // no final newline
        "# comment\nname: Foo\nversion: 10.0.0-4015\n",  // other lines first
        "version: 10.0.0-4015\r\n",
        "\xEF\xBB\xBFversion: 10.0.0-4015\n",  // byte-order mark
    };
    for (const char* content : accepted) {
        writeCompanion(content);
        wxString warning;
        EXPECT_TRUE(check(warning)) << content;
        EXPECT_EQ(warning, "") << content;
    }
    // UTF-16 and UTF-32 with a byte-order mark, little- and big-endian.
    const std::string text = "# note\r\nversion: 10.0.0-1\r\n";
    for (const std::string& bom : {std::string("\xFF\xFE", 2), std::string("\xFE\xFF", 2),
                                   std::string("\xFF\xFE\0\0", 4), std::string("\0\0\xFE\xFF", 4)}) {
        const size_t width = bom.size();
        const bool bigEndian = bom[0] == 0 || bom[0] == '\xFE';
        std::string content = bom;
        for (char c : text) {
            std::string unit(width, '\0');
            unit[bigEndian ? width - 1 : 0] = c;
            content += unit;
        }
        writeCompanion(content);
        wxString warning;
        EXPECT_TRUE(check(warning)) << content;
        EXPECT_EQ(warning, "") << content;
    }
}

TEST_F(ExtensionVersion, MissingCompanionIsRefused)
{
    wxString warning;
    EXPECT_FALSE(check(warning));
    EXPECT_EQ(warning, "Extension file '" + m_extension +
                           "' does not have a corresponding '.version' file. It will not be enabled.");
}

TEST_F(ExtensionVersion, CompanionWithoutVersionLineIsRefused)
{
    // A line too long to be a version line is passed over, however it begins.
    const std::string overLong = "version: 10.0.0-1" + std::string(8192, ' ') + "\n";
    const std::string contents[] = {
        "", "Version: 10.0.0-1\n", " version: 10.0.0-1\n", "name: Foo\n\n", overLong,
    };
    for (const std::string& content : contents) {
        writeCompanion(content);
        wxString warning;
        EXPECT_FALSE(check(warning)) << content;
        EXPECT_EQ(warning, noVersionLine()) << content;
    }
}

TEST_F(ExtensionVersion, UnreadableCompanionCountsAsWithoutVersionLine)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    writeCompanion("version: 10.0.0-1\n");
    ASSERT_EQ(chmod((m_extension + ".version").c_str(), 0), 0);
    wxString warning;
    EXPECT_FALSE(check(warning));
    EXPECT_EQ(warning, noVersionLine());
}

TEST_F(ExtensionVersion, MalformedFirstVersionLineIsRefused)
{
    const char* contents[] = {
        "version: 10.0.0\n",
        "version: 10.0-4015\n",
        "version:\n",
        "version: ten\n",
        // The first version line decides even when a good one follows.
        "version: 10.0\nversion: 10.0.0-1\n",
    };
    for (const char* content : contents) {
        writeCompanion(content);
        wxString warning;
        EXPECT_FALSE(check(warning)) << content;
        EXPECT_EQ(warning, malformed()) << content;
    }
}

TEST_F(ExtensionVersion, OtherVersionIsRefusedNamingBoth)
{
    writeCompanion("version: 10.0.1-4015\n");
    wxString warning;
    EXPECT_FALSE(check(warning));
    EXPECT_EQ(warning,
              "Ignoring extension '" + m_extension + "' since its version (10.0.1) doesn't match ours (10.0.0)");

    writeCompanion("version: 9.5.0-1\nversion: 10.0.0-1\n");
    EXPECT_FALSE(check(warning));
    EXPECT_EQ(warning,
              "Ignoring extension '" + m_extension + "' since its version (9.5.0) doesn't match ours (10.0.0)");
}

}  // namespace
