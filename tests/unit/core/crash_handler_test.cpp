// The crash handler: a crashing child leaves a report and still dies of its signal.

#include "crash_handler.h"

#include "service_test_support.h"

#include <csignal>
#include <cstdlib>

#include <sys/wait.h>

using namespace VkaCore;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

// Runs body in a child that installed the crash handler; returns the raw wait status.
template <typename Body> int CrashInChild(const std::string& dump, bool fullDump, Body body)
{
    pid_t child = fork();
    if (child == 0) {
        if (!InitCrashHandler(dump, "unit", fullDump))
            _exit(90);
        body();
        _exit(91);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

// The sanitizer would stop at the null load itself; the point is the real fault.
__attribute__((no_sanitize_undefined)) void LoadFromNull()
{
    // Opaque to the optimiser, so this stays a real load from address 0.
    int* volatile p = nullptr;
    std::printf("%d\n", *p);
}

TEST(CrashHandlerTest, NullDereferenceDiesBySigsegvAndLeavesAReport)
{
    TempDir dir;
    const std::string dump = dir / "unit.mdmp";
    int status = CrashInChild(dump, false, LoadFromNull);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_FALSE(WCOREDUMP(status)) << "no core file without a full dump";

    const std::string report = ReadFile(dump);
    EXPECT_NE(report.find("application: unit\n"), std::string::npos) << report;
    EXPECT_NE(report.find("signal: 11 (SIGSEGV)\n"), std::string::npos) << report;
    EXPECT_NE(report.find("fault address: 0x0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("backtrace:\n"), std::string::npos);
    EXPECT_NE(report.find("end of report\n"), std::string::npos);
}

TEST(CrashHandlerTest, AbortIsReportedAndReRaised)
{
    TempDir dir;
    const std::string dump = dir / "unit.mdmp";
    int status = CrashInChild(dump, false, [] { std::abort(); });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_NE(ReadFile(dump).find("signal: 6 (SIGABRT)\n"), std::string::npos);
}

}  // namespace
