#pragma once
// The restart supervisor of a daemon: forks one worker at a time, waits for it, decides from how
// it ended whether to restart it (with a doubling delay and a bounded rate) or to end.

#include <wx/arrstr.h>
#include <wx/string.h>

#include <sys/types.h>

#include <functional>

/// The supervisor's policy, in one place.
struct SupervisorPolicy {
    /// Starts remembered; one more start inside the window is refused.
    static constexpr int kMaxStarts = 8;
    /// Seconds a start counts against the limit.
    static constexpr int kWindowSeconds = 512;
    /// Delay before the first restart inside the window; doubles with each further start.
    static constexpr int kDelayBaseMs = 1000;
    /// Worker exit code that asks for the kernel driver to be stopped before the restart.
    static constexpr int kDriverStopExitCode = 3;
    /// The driver's init script and the argument that stops the driver.
    static constexpr const char* kDriverScript = "/opt/vk_agent/SunOS.init";
    static constexpr const char* kDriverStopArg = "stopmod";
};

/// The process operations the supervisor needs; the real one is CPosixProcessOps, tests use fakes.
class CProcessOps {
public:
    virtual ~CProcessOps() = default;

    /// Wall clock, seconds since the epoch.
    virtual long long Now() = 0;
    /// A plain timed pause that signals do not cut short.
    virtual void SleepMs(int ms) = 0;
    /// fork(): 0 in the child, the child's pid in the parent, -1 on failure (see LastError).
    virtual pid_t Fork() = 0;
    /// Runs in the supervisor after each successful fork, before the wait: blocks SIGCHLD and
    /// arms the SIGTERM handler.
    virtual void PrepareWait(pid_t worker) = 0;
    /// waitpid(pid, status, 0).
    virtual pid_t WaitPid(pid_t pid, int* status) = 0;
    /// The error number of the last failed Fork or WaitPid.
    virtual int LastError() = 0;
    /// True when path may be executed (access X_OK).
    virtual bool IsExecutable(const char* path) = 0;
    /// Runs program with args; false with err set when it did not run or did not succeed.
    virtual bool RunProgram(const wxString& program, const wxArrayString& args, wxString& err) = 0;
    /// Removes the pid file when it exists.
    virtual void RemovePidFile() = 0;
};

/// The restart loop. Run() returns the supervisor's result in the supervisor; in a forked worker
/// it returns whatever the worker entry returns (the real entry never returns).
class CSupervisor {
public:
    /// ops is borrowed; runWorker is the worker's entry, called in the child after each fork.
    CSupervisor(CProcessOps& ops, std::function<int()> runWorker);

    /// The loop: the worker's exit code when it ends without a restart, 0 when it was stopped
    /// by SIGTERM, -1 on a failure or after too many restarts.
    int Run();

    /// Number of remembered starts later than now - window (strictly).
    int StartsWithinWindow(long long now) const;

private:
    enum class Outcome { Restart, End };

    /// Decides from a wait status; sets result when the supervisor ends.
    Outcome Classify(int status, int& result);
    void StopDriver();
    int End(int result);

    CProcessOps& m_ops;
    std::function<int()> m_runWorker;
    long long m_starts[SupervisorPolicy::kMaxStarts] = {};
    int m_index = 0;
};
