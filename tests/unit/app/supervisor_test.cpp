// The supervisor's restart decisions, driven through a fake process seam (no forking), and the
// SIGTERM handler in a child process of its own group.
#include "supervisor.h"
#include "supervisor_signal.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <wx/init.h>
#include <wx/log.h>

#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr pid_t kWorkerPid = 4242;
constexpr long long kT0 = 1700000000;

int exitStatus(int code)
{
    return (code & 0xff) << 8;
}
int signalStatus(int sig, bool core = false)
{
    return sig | (core ? 0x80 : 0);
}

struct WaitResult {
    pid_t ret;
    int status;
    int err;
};

// A scripted process world: each wait consumes the next result (or `then` when the script is
// used up) and lets the worker's run time pass; sleeping advances the clock.
class CFakeOps : public CProcessOps {
public:
    long long clock = kT0;
    long long runSeconds = 0;
    std::deque<WaitResult> waits;
    WaitResult then{kWorkerPid, exitStatus(0), 0};
    int failForkNumber = -1;
    int forkErr = EAGAIN;
    bool childBranch = false;
    bool executable = false;
    bool programOk = true;
    wxString programErr;
    StopRequest stop = StopRequest::None;
    StopRequest stopDuringSleep = StopRequest::None;  // arrives while the delay runs
    StopRequest stopDuringWait = StopRequest::None;   // arrives with an interrupted wait
    int holds = 0;                                    // stop requests held right now

    std::vector<long long> forkTimes;
    std::vector<int> sleeps;
    std::vector<std::string> programs;
    std::vector<std::string> statuses;
    int prepares = 0;
    int removals = 0;
    int lastError = 0;

    long long Now() override { return clock; }
    void SleepMs(int ms) override
    {
        sleeps.push_back(ms);
        clock += ms / 1000;
        if (stopDuringSleep != StopRequest::None)
            stop = stopDuringSleep;
    }
    pid_t Fork() override
    {
        if (static_cast<int>(forkTimes.size()) == failForkNumber) {
            lastError = forkErr;
            return -1;
        }
        EXPECT_EQ(holds, 1) << "forked with stop requests let through";
        forkTimes.push_back(clock);
        return childBranch ? 0 : kWorkerPid;
    }
    void HoldStopRequests(bool hold) override { holds += hold ? 1 : -1; }
    void PrepareWait(pid_t worker) override
    {
        EXPECT_EQ(worker, kWorkerPid);
        ++prepares;
    }
    pid_t WaitPid(pid_t pid, int* status) override
    {
        EXPECT_EQ(pid, kWorkerPid);
        WaitResult r = then;
        if (!waits.empty()) {
            r = waits.front();
            waits.pop_front();
        }
        if (r.ret == -1) {
            lastError = r.err;
            if (r.err == EINTR && stopDuringWait != StopRequest::None)
                stop = stopDuringWait;
            return -1;
        }
        clock += runSeconds;
        *status = r.status;
        return r.ret;
    }
    int LastError() override { return lastError; }
    bool IsExecutable(const char* path) override
    {
        EXPECT_STREQ(path, "/opt/vk_agent/SunOS.init");
        return executable;
    }
    bool RunProgram(const wxString& program, const wxArrayString& args, wxString& err) override
    {
        std::string call = program.ToStdString();
        for (const wxString& a : args)
            call += " " + a.ToStdString();
        programs.push_back(call);
        if (!programOk)
            err = programErr;
        return programOk;
    }
    void RemovePidFile() override { ++removals; }
    pid_t OwnPid() override { return 100; }
    StopRequest PendingStop() override { return stop; }
    void WriteStatus(const wxString& text) override { statuses.push_back(text.ToStdString()); }
    void FirstWorkerEnded(const wxString& how) override { firstEnds.push_back(how.ToStdString()); }
    wxString CrashReportOf(pid_t worker) override { return worker == kWorkerPid ? crashReport : wxString(); }

    std::vector<std::string> firstEnds;
    wxString crashReport;
};

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override { wxLog::SetLogLevel(wxLOG_Info); }

    int Run()
    {
        CSupervisor supervisor(m_ops, [this]() {
            ++m_workerEntries;
            return 77;
        });
        return supervisor.Run();
    }

    // What was logged at one level, named as the disk log names it.
    std::vector<std::string> Texts(const std::string& level) const
    {
        const wxLogLevel byName = level == "ERROR"     ? wxLOG_Error
                                  : level == "WARNING" ? wxLOG_Warning
                                  : level == "MESSAGE" ? wxLOG_Message
                                                       : wxLOG_Info;
        return m_log.At(byName);
    }

    CFakeOps m_ops;
    // The framework starts before the capture takes over its log: starting it replaces the log.
    static bool frameworkStarted()
    {
        static wxInitializer init;
        return init.IsOk();
    }
    const bool m_framework = frameworkStarted();
    VkaTest::LogCapture m_log;
    int m_workerEntries = 0;
};

using Lines = std::vector<std::string>;

// The value of key in a status file's text.
std::string statusField(const std::string& text, const std::string& key)
{
    const size_t at = ("\n" + text).find("\n" + key + "=");
    if (at == std::string::npos)
        return "<none>";
    const size_t from = at + key.size() + 1;
    return text.substr(from, text.find('\n', from) - from);
}

TEST_F(SupervisorTest, CrashLoopBacksOffDoublingThenGivesUpAtEightStartsIn512Seconds)
{
    m_ops.then = {kWorkerPid, signalStatus(SIGSEGV), 0};

    EXPECT_EQ(Run(), -1);

    const std::vector<long long> offsets{0, 1, 3, 7, 15, 31, 63, 127};
    ASSERT_EQ(m_ops.forkTimes.size(), offsets.size());
    for (size_t i = 0; i < offsets.size(); ++i)
        EXPECT_EQ(m_ops.forkTimes[i] - kT0, offsets[i]) << "start " << i;
    EXPECT_EQ(m_ops.sleeps, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 32000, 64000}));
    EXPECT_EQ(Texts("ERROR").size(), 9u);
    EXPECT_EQ(Texts("ERROR").back(),
              "Too many restarts in too short of a time, exiting (8 restarts in less than 512 seconds)");
    const Lines verbose = Texts("VERBOSE");
    ASSERT_EQ(verbose.size(), 7u);
    EXPECT_EQ(verbose[0], "Delaying 1000ms before restart 1");
    EXPECT_EQ(verbose[6], "Delaying 64000ms before restart 7");
    EXPECT_EQ(m_ops.removals, 1);
}

TEST_F(SupervisorTest, WindowCountsOnlyStartsStrictlyLaterThan512SecondsAgo)
{
    // A worker living exactly the window length leaves no start inside it: no delay ever.
    m_ops.runSeconds = 512;
    for (int i = 0; i < 20; ++i)
        m_ops.waits.push_back({kWorkerPid, signalStatus(SIGKILL), 0});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_ops.forkTimes.size(), 21u);
    EXPECT_TRUE(m_ops.sleeps.empty());

    // One second less: the previous start counts and the restart waits a second. That start
    // was recorded before its own delay, so the next run ends exactly 512 s after it, and the
    // one after that starts at once again.
    CFakeOps shorter;
    shorter.runSeconds = 511;
    for (int i = 0; i < 20; ++i)
        shorter.waits.push_back({kWorkerPid, signalStatus(SIGKILL), 0});
    CSupervisor supervisor(shorter, [] { return 0; });
    EXPECT_EQ(supervisor.Run(), 0);
    ASSERT_EQ(shorter.forkTimes.size(), 21u);
    EXPECT_EQ(shorter.sleeps, std::vector<int>(10, 1000));
    EXPECT_EQ(shorter.forkTimes[1] - shorter.forkTimes[0], 512);
    EXPECT_EQ(shorter.forkTimes[2] - shorter.forkTimes[1], 511);
}

TEST_F(SupervisorTest, NormalExitEndsWithTheWorkersCodeExceptTheDriverStopCode)
{
    for (int code : {0, 5, 255}) {
        CFakeOps ops;
        ops.then = {kWorkerPid, exitStatus(code), 0};
        CSupervisor supervisor(ops, [] { return 0; });
        EXPECT_EQ(supervisor.Run(), code);
        EXPECT_EQ(ops.forkTimes.size(), 1u);
        EXPECT_EQ(ops.removals, 1);
        EXPECT_TRUE(ops.programs.empty());
    }
    m_log.records.clear();
    m_ops.then = {kWorkerPid, exitStatus(5), 0};
    EXPECT_EQ(Run(), 5);
    EXPECT_EQ(Texts("VERBOSE"), (Lines{"Child process exited with status 1280 (exit 5)"}));
}

TEST_F(SupervisorTest, ExitCodeThreeStopsTheDriverWhenItsScriptIsExecutable)
{
    m_ops.executable = true;
    m_ops.waits = {{kWorkerPid, exitStatus(3), 0}};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_ops.programs, (Lines{"/opt/vk_agent/SunOS.init stopmod"}));
    EXPECT_EQ(m_ops.forkTimes.size(), 2u);
    EXPECT_EQ(Texts("MESSAGE"), (Lines{"Driver stopped using /opt/vk_agent/SunOS.init"}));
    EXPECT_EQ(Texts("VERBOSE"),
              (Lines{"Child process exited with status 768 (exit 3)", "Delaying 1000ms before restart 1",
                     "Child process exited with status 0 (exit 0)"}));
    EXPECT_EQ(m_ops.removals, 1);
}

TEST_F(SupervisorTest, ExitCodeThreeRestartsWhateverTheDriverStopDoes)
{
    // Failing script: an error with Execute's reason.
    m_ops.executable = true;
    m_ops.programOk = false;
    m_ops.programErr = "exit status 2";
    m_ops.waits = {{kWorkerPid, exitStatus(3), 0}};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Texts("ERROR"), (Lines{"Error stopping driver: exit status 2"}));
    EXPECT_TRUE(Texts("MESSAGE").empty());
    EXPECT_EQ(m_ops.forkTimes.size(), 2u);

    // No script: nothing run, nothing said.
    m_log.records.clear();
    CFakeOps ops;
    ops.waits = {{kWorkerPid, exitStatus(3), 0}};
    CSupervisor supervisor(ops, [] { return 0; });
    EXPECT_EQ(supervisor.Run(), 0);
    EXPECT_TRUE(ops.programs.empty());
    EXPECT_TRUE(Texts("MESSAGE").empty());
    EXPECT_TRUE(Texts("ERROR").empty());
    EXPECT_EQ(ops.forkTimes.size(), 2u);
}

TEST_F(SupervisorTest, SignalsSplitIntoCrashesOrdinaryEndsAndStop)
{
    m_ops.runSeconds = 1000;  // keep delays out of the log
    m_ops.waits = {{kWorkerPid, signalStatus(SIGKILL), 0},
                   {kWorkerPid, signalStatus(SIGSEGV, true), 0},
                   {kWorkerPid, signalStatus(SIGABRT), 0},
                   {kWorkerPid, signalStatus(SIGBUS), 0},
                   {kWorkerPid, 0x137f, 0},  // stopped: neither exited nor signalled
                   {kWorkerPid, signalStatus(SIGTERM), 0}};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_ops.forkTimes.size(), 6u);
    EXPECT_EQ(Texts("ERROR"),
              (Lines{"Child process crashed with status 139 (signal 11: " + std::string(strsignal(SIGSEGV)) + ")",
                     "Child process crashed with status 6 (signal 6: " + std::string(strsignal(SIGABRT)) + ")"}));
    EXPECT_EQ(Texts("VERBOSE"),
              (Lines{"Child process exited with status 9 (signal 9: " + std::string(strsignal(SIGKILL)) + ")",
                     "Child process exited with status 7 (signal 7: " + std::string(strsignal(SIGBUS)) + ")",
                     "Child process exited with status 4991",
                     "Child process exited with status 15 (signal 15: " + std::string(strsignal(SIGTERM)) + ")"}));
    EXPECT_EQ(m_ops.removals, 1);

    // A core dump does not turn a stop into a restart.
    CFakeOps cored;
    cored.then = {kWorkerPid, signalStatus(SIGTERM, true), 0};
    CSupervisor supervisor(cored, [] { return 0; });
    EXPECT_EQ(supervisor.Run(), 0);
    EXPECT_EQ(cored.forkTimes.size(), 1u);
}

TEST_F(SupervisorTest, InterruptedWaitWarnsAndWaitsAgain)
{
    m_ops.waits = {{-1, 0, EINTR}, {-1, 0, EINTR}, {0, 0, 0}, {kWorkerPid, exitStatus(0), 0}};
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Texts("WARNING"), (Lines{"Waiting for child process interrupted - Try again",
                                       "Waiting for child process interrupted - Try again"}));
    EXPECT_EQ(m_ops.forkTimes.size(), 1u);
    EXPECT_EQ(m_ops.prepares, 1);
}

TEST_F(SupervisorTest, FailedWaitOrForkEndsWithMinusOneAndTheErrorNumber)
{
    m_ops.waits = {{-1, 0, ECHILD}};
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(Texts("ERROR"), (Lines{"Error waiting for child process (error " + std::to_string(ECHILD) + ": " +
                                     strerror(ECHILD) + ")"}));
    EXPECT_EQ(m_ops.removals, 1);

    m_log.records.clear();
    CFakeOps ops;
    ops.waits = {{kWorkerPid, signalStatus(SIGKILL), 0}};
    ops.failForkNumber = 1;
    ops.forkErr = EAGAIN;
    CSupervisor supervisor(ops, [] { return 0; });
    EXPECT_EQ(supervisor.Run(), -1);
    EXPECT_EQ(Texts("ERROR"),
              (Lines{"Unable to fork child (error " + std::to_string(EAGAIN) + ": " + strerror(EAGAIN) + ")"}));
    EXPECT_EQ(ops.removals, 1);
    EXPECT_EQ(ops.prepares, 1);
}

TEST_F(SupervisorTest, StopWhileNoWorkerRunsEndsWithZeroAfterTheDelayWithoutForking)
{
    m_ops.waits = {{kWorkerPid, exitStatus(3), 0}};
    m_ops.stopDuringSleep = StopRequest::WhileIdle;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(m_ops.forkTimes.size(), 1u);
    EXPECT_EQ(m_ops.sleeps, (std::vector<int>{1000}));
    EXPECT_EQ(m_ops.removals, 1);
    EXPECT_EQ(statusField(m_ops.statuses.back(), "state"), "stopped");
    EXPECT_EQ(m_ops.holds, 0);
}

TEST_F(SupervisorTest, StatusFileTellsWhoRunsHowManyStartsAndHowTheLastWorkerEnded)
{
    m_ops.runSeconds = 10;
    m_ops.stopDuringWait = StopRequest::WhileWorkerRan;
    m_ops.waits = {{kWorkerPid, signalStatus(SIGKILL), 0}, {-1, 0, EINTR}, {kWorkerPid, exitStatus(0), 0}};
    EXPECT_EQ(Run(), 0);
    const std::string killed = "Child process exited with status 9 (signal 9: " + std::string(strsignal(SIGKILL)) + ")";
    EXPECT_EQ(
        m_ops.statuses,
        (Lines{"supervisor=100\nworker=4242\nstate=running\nstarts=1\nstarted=1700000000\nlast_exit=\n",
               "supervisor=100\nworker=0\nstate=delaying\nstarts=1\nstarted=0\nlast_exit=" + killed + "\n",
               "supervisor=100\nworker=4242\nstate=running\nstarts=2\nstarted=1700000011\nlast_exit=" + killed + "\n",
               "supervisor=100\nworker=4242\nstate=stopping\nstarts=2\nstarted=1700000011\nlast_exit=" + killed +
                   "\n",
               "supervisor=100\nworker=0\nstate=stopped\nstarts=2\nstarted=0\nlast_exit=Child process exited with "
               "status 0 (exit 0)\nexit=0\n"}));
}

TEST_F(SupervisorTest, EndLeavesStoppedOrFailedWithTheExitAndSaysWhyAtErrorLevelUnlessStopped)
{
    struct Case {
        const char* name;
        WaitResult wait;
        StopRequest stop;
        int result;
        const char* state;
        const char* exit;
        Lines errors;
    };
    const std::string exit5 = "Child process exited with status 1280 (exit 5)";
    const std::string noChild = "Error waiting for child process (error " + std::to_string(ECHILD) + ": " +
                                strerror(ECHILD) + ")";
    const Case cases[] = {
        {"app failure", {kWorkerPid, exitStatus(5), 0}, StopRequest::None, 5, "failed", "5",
         {"Supervisor exiting with 5: " + exit5}},
        {"stopped", {kWorkerPid, exitStatus(5), 0}, StopRequest::WhileWorkerRan, 5, "stopped", "5", {}},
        {"ended with 0", {kWorkerPid, exitStatus(0), 0}, StopRequest::None, 0, "stopped", "0", {}},
        {"wait failed", {-1, 0, ECHILD}, StopRequest::None, -1, "failed", "255", {noChild}},
    };
    for (const Case& c : cases) {
        m_log.records.clear();
        CFakeOps ops;
        ops.waits = {c.wait};
        ops.stop = c.stop;
        CSupervisor supervisor(ops, [] { return 0; });
        EXPECT_EQ(supervisor.Run(), c.result) << c.name;
        const std::string last = ops.statuses.back();
        EXPECT_EQ(statusField(last, "state"), c.state) << c.name;
        EXPECT_EQ(statusField(last, "exit"), c.exit) << c.name;
        EXPECT_EQ(statusField(last, "worker"), "0") << c.name;
        EXPECT_EQ(Texts("ERROR"), c.errors) << c.name;
    }
}

TEST_F(SupervisorTest, CrashReportIsNamedAndTheFirstEndReachesTheStartCommandOnce)
{
    m_ops.crashReport = "/w/diag/vk_agent.mdmp";
    m_ops.waits = {{kWorkerPid, signalStatus(SIGSEGV), 0}, {kWorkerPid, signalStatus(SIGSEGV), 0}};
    EXPECT_EQ(Run(), 0);
    const Lines errors = Texts("ERROR");
    ASSERT_EQ(errors.size(), 4u);
    EXPECT_EQ(errors[1], "Crash report of worker 4242: /w/diag/vk_agent.mdmp");
    EXPECT_EQ(m_ops.firstEnds.size(), 1u);
    EXPECT_EQ(m_ops.firstEnds[0], errors[0]);
}

TEST_F(SupervisorTest, ChildBranchRunsTheWorkerEntryAndNeverWaits)
{
    m_ops.childBranch = true;
    EXPECT_EQ(Run(), 77);
    EXPECT_EQ(m_workerEntries, 1);
    EXPECT_EQ(m_ops.prepares, 0);
    EXPECT_EQ(m_ops.removals, 0);
}

// --- the SIGTERM handler, in a real child process that leads its own process group ---

bool waitFor(const std::function<bool()>& done)
{
    for (int i = 0; i < 500; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(SupervisorSignalTest, SecondSigtermEndsWithUnderscoreExitZeroAndSkipsExitHandlers)
{
    char dir[] = "/tmp/vka-sigtest-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string pidFile = std::string(dir) + "/agent.pid";
    FILE* f = std::fopen(pidFile.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("1\n", f);
    std::fclose(f);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The handler broadcasts to its process group: keep that group to this child alone.
        setpgid(0, 0);
        // exit() would run this and report 42; the handler must leave through _exit(0).
        std::atexit([] { _exit(42); });
        ArmSupervisorSignalHandler(wxString::FromUTF8(pidFile.c_str()));
        if (write(ready[1], "x", 1) != 1)
            _exit(3);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    ASSERT_EQ(kill(child, SIGTERM), 0);
    EXPECT_TRUE(waitFor([&] { return access(pidFile.c_str(), F_OK) != 0; })) << "pid file not removed";
    // The handler's own broadcast comes back to the child and must not count as a second stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "first SIGTERM ended the supervisor";

    ASSERT_EQ(kill(child, SIGTERM), 0);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    rmdir(dir);
}

}  // namespace
