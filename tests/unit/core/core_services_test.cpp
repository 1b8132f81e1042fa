// The small services: owner-only permissions and the SQLite set-up.

#include "log2disk.h"
#include "secure_file.h"
#include "sqlite_database.h"

#include "service_test_support.h"

#include <wx/log.h>

using namespace VkaCore;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(SecureFileTest, FolderBecomes0700FileBecomes0600AndLinksAreLeftAlone) {
    TempDir dir;
    const std::string folder = dir / "work";
    const std::string file = dir / "events.db";
    ::mkdir(folder.c_str(), 0777);
    VkaTest::WriteFile(file, "x");
    ::chmod(file.c_str(), 0666);
    ::symlink(file.c_str(), (dir / "link").c_str());

    EXPECT_TRUE(SecureFileOrDirectory(folder, false));
    EXPECT_TRUE(SecureFileOrDirectory(file, false));
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(file), 0600u);

    ::chmod(file.c_str(), 0644);
    EXPECT_FALSE(SecureFileOrDirectory(dir / "link", false));
    EXPECT_EQ(ModeOf(file), 0644u);
    EXPECT_FALSE(SecureFileOrDirectory(dir / "missing", false));
}

TEST(SqliteSetupTest, OptionsApplyBeforeInitialisationAndAreReportedWhenRefused) {
    TempDir dir;
    VkaTest::UseWorkFolder(dir.path(), "unit");
    CLog2Disk log;
    wxLog* previous = wxLog::SetActiveTarget(&log);
    CDom* dom = VkaTest::PrimaryDom();
    dom->SetInt("sqlite.config.mmap_size", 0);
    dom->SetInt("sqlite.config.lookaside.size", 512);
    dom->SetInt("sqlite.config.lookaside.count", 64);
    dom->Set("sqlite.config.uri", "not an integer");

    CSqliteDatabase::ShutdownSQLite();
    EXPECT_TRUE(CSqliteDatabase::InitializeSQLite(dom));
    // Once SQLite runs, configuration is refused; the refusal names the key and value.
    EXPECT_TRUE(CSqliteDatabase::InitializeSQLite(dom));
    CSqliteDatabase::ShutdownSQLite();
    CSqliteDatabase::ShutdownSQLite(); // a second shutdown is harmless
    wxLog::SetActiveTarget(previous);

    const std::string text = ReadFile(dir / "unit.log");
    EXPECT_NE(text.find("WARNING SQLite option sqlite.config.mmap_size=0 not applied: "), std::string::npos) << text;
    EXPECT_EQ(text.find("sqlite.config.uri"), std::string::npos) << "a string value is not an option";

    dom->Unset("sqlite.config.mmap_size");
    dom->Unset("sqlite.config.lookaside.size");
    dom->Unset("sqlite.config.lookaside.count");
    dom->Unset("sqlite.config.uri");
}

} // namespace
