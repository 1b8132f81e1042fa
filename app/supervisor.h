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

/// How the supervisor's stop request stands.
enum class StopRequest {
    /// No SIGTERM has reached the supervisor.
    None,
    /// The first SIGTERM came while a worker ran and was passed on to it: the worker decides.
    WhileWorkerRan,
    /// The first SIGTERM came while no worker ran (during a delay, or after a worker had ended):
    /// nobody else will act on it, so no further worker is started.
    WhileIdle,
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
    /// While held (true), a SIGTERM to the supervisor waits until released (false); a child
    /// forked meanwhile keeps it held.
    virtual void HoldStopRequests(bool hold) = 0;
    /// Runs in the supervisor after each successful fork, before the wait: blocks SIGCHLD,
    /// arms the SIGTERM handler and tells it which worker runs.
    virtual void PrepareWait(pid_t worker) = 0;
    /// waitpid(pid, status, 0); once it has returned the worker, no worker runs.
    virtual pid_t WaitPid(pid_t pid, int* status) = 0;
    /// The error number of the last failed Fork or WaitPid.
    virtual int LastError() = 0;
    /// True when path may be executed (access X_OK).
    virtual bool IsExecutable(const char* path) = 0;
    /// Runs program with args; false with err set when it did not run or did not succeed.
    virtual bool RunProgram(const wxString& program, const wxArrayString& args, wxString& err) = 0;
    /// Removes the pid file when it exists.
    virtual void RemovePidFile() = 0;
    /// The supervisor's own process id.
    virtual pid_t OwnPid() = 0;
    /// Whether, and in which state, a stop request has come.
    virtual StopRequest PendingStop() = 0;
    /// Replaces the status file with text in one step (readers see the old or the new file).
    virtual void WriteStatus(const wxString& text) = 0;
    /// Keeps text for the status file that a second SIGTERM, which ends the supervisor at once,
    /// leaves behind.
    virtual void KeepStatusForSecondStop(const wxString&) {}
    /// After the first worker has ended: tells the start command how, when it still waits for
    /// the application to start.
    virtual void FirstWorkerEnded(const wxString&) {}
    /// The path of the crash report that worker wrote as it died, empty when it wrote none.
    virtual wxString CrashReportOf(pid_t) { return wxString(); }
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

    /// The status file's text: supervisor, worker, state, starts, started and last_exit lines,
    /// and once the supervisor has ended its exit line.
    wxString StatusText() const;

private:
    enum class Outcome { Restart, StopDriverAndRestart, End };
    enum class State { Running, Delaying, Stopping, Stopped, Failed };

    /// Checks the stop request and the restart limit and sleeps the restart delay; false (with
    /// the supervisor's result) when the supervisor ends instead.
    bool MayStart(long long now, int& result);
    /// Forks the next worker: its pid in the supervisor, 0 in the worker, -1 when the supervisor
    /// ends instead (with its result).
    pid_t StartWorker(int& result);
    /// Waits until worker has ended, through interruptions by stop requests; false when the
    /// wait failed.
    bool WaitForWorker(pid_t worker, int& status);
    /// Decides from a wait status; sets result when the supervisor ends and m_lastExit always.
    Outcome Classify(int status, int& result);
    void StopDriver();
    /// Ends the supervisor with result: the pid file goes, the status file stays with the end,
    /// "stopped" after a stop request or with 0, else "failed" and why (when not empty; else it
    /// is logged already) is logged as an error.
    int End(int result, const wxString& why = wxString());
    int EndOnIdleStop();
    void Publish(State state);
    wxString StatusTextFor(State state, pid_t worker, long long started, const wxString& exitLine) const;

    CProcessOps& m_ops;
    std::function<int()> m_runWorker;
    long long m_starts[SupervisorPolicy::kMaxStarts] = {};
    int m_index = 0;
    // What the status file shows.
    State m_state = State::Delaying;
    pid_t m_worker = 0;
    long long m_started = 0;
    wxString m_lastExit;
    pid_t m_lastWorker = 0;
    bool m_firstEnded = false;
    int m_exit = 0;
};
