// The thread base: running, exit requests, waking, interrupting, and logging from a
// thread that ends the process.

#include "crash_handler.h"
#include "log2disk.h"
#include "runnable.h"

#include "service_test_support.h"

#include <wx/log.h>
#include <wx/utils.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include <poll.h>
#include <sys/wait.h>

using namespace VkaCore;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

::testing::Environment* const g_wx = ::testing::AddGlobalTestEnvironment(new VkaTest::WxEnvironment);

class Body : public CRunnable {
public:
    explicit Body(std::function<void(Body&)> run) : CRunnable(false, -1, false), m_run(std::move(run)) {}
    void OnRun() override { m_run(*this); }

private:
    std::function<void(Body&)> m_run;
};

TEST(RunnableTest, StartRunsOnRunAndJoinWaitsForIt)
{
    std::atomic<bool> ran{false};
    CDom* dom = VkaTest::PrimaryDom();
    Body t([&](Body& self) { ran = self.GetDom() == dom; });
    t.SetDom(dom);
    ASSERT_EQ(t.start(50, true, 0), 0);
    t.join();
    EXPECT_TRUE(ran.load());
    t.join();  // a second join is harmless
}

TEST(RunnableTest, RequestExitEndsALoopThatTestsForIt)
{
    std::atomic<int> rounds{0};
    Body t([&](Body& self) {
        while (!self.TestDestroy())
            ++rounds, wxMilliSleep(1);
    });
    ASSERT_EQ(t.start(50, true, 0), 0);
    while (rounds.load() == 0)
        wxMilliSleep(1);
    t.requestExit();
    t.join();
    EXPECT_TRUE(t.TestDestroy());
}

TEST(RunnableTest, TimedWaitReturnsOnAwakenOnExitAndOnTimeout)
{
    std::atomic<int> phase{0};
    std::atomic<bool> firstAwakened{false}, firstExit{true}, timedOutAwakened{true};
    std::atomic<long long> timeoutMs{0};
    Body t([&](Body& self) {
        bool awakened = false;
        firstExit = self.TestDestroy(10000, &awakened);
        firstAwakened = awakened;
        phase = 1;
        auto begin = std::chrono::steady_clock::now();
        self.TestDestroy(50, &awakened);
        timeoutMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
        timedOutAwakened = awakened;
        phase = 2;
        while (!self.TestDestroy(10000, nullptr)) {
        }
    });
    ASSERT_EQ(t.start(50, true, 0), 0);
    wxMilliSleep(20);
    t.Awaken();
    while (phase.load() < 2)
        wxMilliSleep(1);
    t.requestExit();
    t.join();
    EXPECT_TRUE(firstAwakened.load());
    EXPECT_FALSE(firstExit.load());
    EXPECT_FALSE(timedOutAwakened.load());
    EXPECT_GE(timeoutMs.load(), 45);
}

TEST(RunnableTest, InterruptBreaksABlockingCallWithoutEndingTheProcess)
{
    std::atomic<int> result{0}, error{0};
    std::atomic<bool> entered{false};
    Body t([&](Body&) {
        entered = true;
        result = poll(nullptr, 0, 20000);
        error = errno;
    });
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(t.start(50, true, 0), 0);
    while (!entered.load())
        wxMilliSleep(1);
    wxMilliSleep(50);
    t.interrupt();
    t.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(error.load(), EINTR);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

TEST(RunnableTest, MessageLoggedOnTheThreadRightBeforeExitReachesTheFile)
{
    TempDir dir;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        VkaTest::UseWorkFolder(dir.path(), "threaded");
        InitCrashHandler(dir / "threaded.mdmp", "threaded", false);
        wxLog::SetActiveTarget(new CLog2Disk);
        wxLog::SetLogLevel(wxLOG_Max);
        Body t([](Body&) {
            wxLogMessage("last words from the thread");
            exit(7);
        });
        t.start(50, true, 0);
        // The main thread never flushes: it sleeps until the thread ends the process.
        for (;;)
            pause();
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ReadFile(dir / "threaded.mdmp")
                                   << ReadFile(dir / "threaded.log");
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_NE(ReadFile(dir / "threaded.log").find(" MESSAGE last words from the thread\n"), std::string::npos);
}

}  // namespace
