// The disk log (line format, levels, rotation, sharing) and trace gating.

#include "log2disk.h"
#include "trace.h"

#include "service_test_support.h"

#include <wx/log.h>

#include <cerrno>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>

using namespace VkaCore;
using VkaTest::Lines;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

const std::regex kLine(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (\d+) ([A-Z]+) (.*)$)");

class DiskLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VkaTest::UseWorkFolder(m_dir.path(), "unit");
        m_previous = wxLog::SetActiveTarget(&m_log);
        wxLog::SetLogLevel(wxLOG_Max);
        wxLog::SetVerbose(true);
    }
    void TearDown() override { wxLog::SetActiveTarget(m_previous); }

    std::string logPath() const { return m_dir / "unit.log"; }
    std::vector<std::string> lines() const { return Lines(ReadFile(logPath())); }

    TempDir m_dir;
    CLog2Disk m_log;
    wxLog* m_previous = nullptr;
};

TEST_F(DiskLogTest, EachFrameworkLevelBecomesOneLineWithItsName)
{
    const std::pair<wxLogLevel, const char*> levels[] = {
        {wxLOG_Error, "ERROR"},  {wxLOG_Warning, "WARNING"}, {wxLOG_Message, "MESSAGE"}, {wxLOG_Status, "MESSAGE"},
        {wxLOG_Info, "VERBOSE"}, {wxLOG_Debug, "DEBUG"},     {wxLOG_Trace, "TRACE"},
    };
    for (const auto& l : levels)
        wxLogGeneric(l.first, "text at %s", l.second);

    auto got = lines();
    ASSERT_EQ(got.size(), sizeof levels / sizeof levels[0]);
    for (size_t i = 0; i < got.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got[i], m, kLine)) << got[i];
        EXPECT_EQ(m[2].str(), std::to_string(getpid()));
        EXPECT_EQ(m[3].str(), levels[i].second);
        EXPECT_EQ(m[4].str(), std::string("text at ") + levels[i].second);
    }
}

TEST_F(DiskLogTest, SystemErrorCarriesNumberAndTextOnce)
{
    errno = ENOENT;
    wxLogSysError("Unable to open %s", "x.txt");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine));
    EXPECT_EQ(m[3].str(), "ERROR");
    const std::string expected =
        "Unable to open x.txt (error " + std::to_string(ENOENT) + ": " + strerror(ENOENT) + ")";
    EXPECT_EQ(m[4].str(), expected);
}

TEST_F(DiskLogTest, MultiLineMessageStaysOneRecord)
{
    wxLogMessage("first\nsecond\r\nthird\n");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine));
    EXPECT_EQ(m[4].str(), "first\\nsecond\\r\\nthird");
}

TEST_F(DiskLogTest, ThreadsAndProcessesNeverInterleaveLines)
{
    const int kThreads = 4, kPerThread = 300;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < kPerThread; ++i)
            WriteLogLine("MESSAGE", "child " + std::string(200, 'c'));
        _exit(0);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kPerThread; ++i)
                WriteLogLine("MESSAGE", "thread " + std::string(200, 't'));
        });
    for (auto& t : threads)
        t.join();
    int status = 0;
    waitpid(child, &status, 0);

    auto got = lines();
    EXPECT_EQ(got.size(), static_cast<size_t>((kThreads + 1) * kPerThread));
    for (const auto& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        const std::string text = m[4].str();
        EXPECT_TRUE(text == "child " + std::string(200, 'c') || text == "thread " + std::string(200, 't'));
    }
}

TEST_F(DiskLogTest, RotatesAtTheCapAndKeepsThreeGenerations)
{
    const std::string chunk(64 * 1024, 'x');
    const int linesPerFile = (10 * 1024 * 1024) / static_cast<int>(chunk.size()) + 1;
    for (int i = 0; i < linesPerFile * 5; ++i)
        WriteLogLine("MESSAGE", chunk);

    struct stat st;
    ASSERT_EQ(::stat(logPath().c_str(), &st), 0);
    EXPECT_LT(st.st_size, 10 * 1024 * 1024);
    for (const char* suffix : {".1", ".2", ".3"}) {
        ASSERT_EQ(::stat((logPath() + suffix).c_str(), &st), 0) << suffix;
        EXPECT_GE(st.st_size, 10 * 1024 * 1024);
    }
    EXPECT_FALSE(VkaTest::Exists(logPath() + ".4"));
    // After rotating, new lines go to the fresh file.
    WriteLogLine("MESSAGE", "after");
    EXPECT_NE(ReadFile(logPath()).find(" MESSAGE after\n"), std::string::npos);
}

TEST_F(DiskLogTest, ALinkPlantedAsTheLogIsNeverWrittenThrough)
{
    VkaTest::WriteFile(m_dir / "victim", "secret");
    ASSERT_EQ(symlink((m_dir / "victim").c_str(), logPath().c_str()), 0);
    wxLogMessage("into the link?");
    EXPECT_EQ(ReadFile(m_dir / "victim"), "secret");
}

TEST_F(DiskLogTest, BeforeTheWorkFolderIsKnownLinesGoToStandardError)
{
    VkaTest::PrimaryDom()->Unset("app.path.work");
    const std::string errFile = m_dir / "stderr.txt";
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    wxLogWarning("too early");
    dup2(saved, STDERR_FILENO);
    close(fd);
    close(saved);

    auto got = Lines(ReadFile(errFile));
    ASSERT_EQ(got.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine));
    EXPECT_EQ(m[3].str(), "WARNING");
    EXPECT_EQ(m[4].str(), "too early");
    EXPECT_FALSE(VkaTest::Exists(logPath()));
}

// --- tracing ----------------------------------------------------------------------------

class TraceTest : public DiskLogTest {};

TEST_F(TraceTest, ModulesAreEnabledByExactNameFromEitherList)
{
    CDom* dom = VkaTest::PrimaryDom();
    dom->Set("app.trace", "Cmd, Appl");
    dom->Set("app.trace+", "vka.Heartbeat");
    EXPECT_TRUE(LogTraceIsEnabled("Appl"));
    EXPECT_TRUE(LogTraceIsEnabled("Cmd"));
    EXPECT_TRUE(LogTraceIsEnabled("vka.Heartbeat"));
    EXPECT_FALSE(LogTraceIsEnabled("App"));
    EXPECT_FALSE(LogTraceIsEnabled("Appl2"));
    EXPECT_FALSE(LogTraceIsEnabled("vka"));
    EXPECT_FALSE(LogTraceIsEnabled("appl"));
    EXPECT_FALSE(LogTraceIsEnabled(""));

    // A change of the lists is seen at the next check.
    dom->Unset("app.trace");
    dom->Set("app.trace+", "");
    EXPECT_FALSE(LogTraceIsEnabled("Appl"));
    dom->Set("app.trace+", "Srvc,*");
    EXPECT_TRUE(LogTraceIsEnabled("Anything"));
}

TEST_F(TraceTest, TraceLineNamesModuleSourceAndFunction)
{
    LogTrace("Appl", "/src/app/plugins/install.cpp", 123, "InstallNewPlugins", "Extracting files from x");
    LogTrace("Cmd", __FILE__, 7, "Func", L"wide \u00e9");
    auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine));
    EXPECT_EQ(m[3].str(), "TRACE");
    EXPECT_EQ(m[4].str(), "[Appl] install.cpp:123 InstallNewPlugins: Extracting files from x");
    ASSERT_TRUE(std::regex_match(got[1], m, kLine));
    EXPECT_EQ(m[4].str(), "[Cmd] log_test.cpp:7 Func: wide \xc3\xa9");
}

}  // namespace
