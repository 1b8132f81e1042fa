// The restart supervisor's loop: starting each worker within the restart limits, waiting for
// it, and deciding from how it ended whether to start the next.
#include "supervisor.h"

#include <wx/log.h>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

CSupervisor::CSupervisor(CProcessOps& ops, std::function<int()> runWorker)
    : m_ops(ops), m_runWorker(std::move(runWorker))
{}

int CSupervisor::StartsWithinWindow(long long now) const
{
    // Unused slots hold 0 and so never fall inside the window.
    int n = 0;
    for (long long start : m_starts) {
        if (start > now - SupervisorPolicy::kWindowSeconds)
            ++n;
    }
    return n;
}

int CSupervisor::End(int result, const wxString& why)
{
    // A worker that ended with 0 was stopped (directly, or it had nothing more to do): only
    // other ends are failures, and "grep ERROR" must find why the daemon went away.
    const bool stopped = result == 0 || m_ops.PendingStop() != StopRequest::None;
    if (!stopped && !why.empty())
        wxLogError("Supervisor exiting with %d: %s", result, why);
    m_ops.RemovePidFile();
    m_worker = 0;
    m_exit = result & 0xff;  // as the shell sees it: -1 is 255
    // The status file stays: its last_exit is what an operator looks for after the end.
    Publish(stopped ? State::Stopped : State::Failed);
    return result;
}

wxString CSupervisor::StatusTextFor(State state, pid_t worker, long long started, const wxString& exitLine) const
{
    static const char* const kStateNames[] = {"running", "delaying", "stopping", "stopped", "failed"};
    return wxString::Format("supervisor=%d\nworker=%d\nstate=%s\nstarts=%d\nstarted=%lld\nlast_exit=%s\n%s",
                            static_cast<int>(m_ops.OwnPid()), static_cast<int>(worker),
                            kStateNames[static_cast<int>(state)], StartsWithinWindow(m_ops.Now()),
                            worker != 0 ? started : 0LL, m_lastExit, exitLine);
}

wxString CSupervisor::StatusText() const
{
    const bool ended = m_state == State::Stopped || m_state == State::Failed;
    return StatusTextFor(m_state, m_worker, m_started, ended ? wxString::Format("exit=%d\n", m_exit) : wxString());
}

int CSupervisor::EndOnIdleStop()
{
    wxLogVerbose("Stop requested while no worker was running, exiting");
    Publish(State::Stopping);
    return End(0);
}

void CSupervisor::Publish(State state)
{
    m_state = state;
    m_ops.WriteStatus(StatusText());
    // A second SIGTERM ends the supervisor inside its handler, which cannot format text.
    if (state != State::Stopped && state != State::Failed)
        m_ops.KeepStatusForSecondStop(StatusTextFor(State::Stopped, 0, 0, "exit=0\n"));
}

bool CSupervisor::MayStart(long long now, int& result)
{
    const int n = StartsWithinWindow(now);
    // A stop that found no worker to pass it on to is ours to honour: without this check
    // the next worker would run on with no pid file and no one asking it to stop.
    if (m_ops.PendingStop() == StopRequest::WhileIdle) {
        result = EndOnIdleStop();
        return false;
    }
    if (n >= SupervisorPolicy::kMaxStarts) {
        wxLogError("Too many restarts in too short of a time, exiting (%d restarts in less than %d seconds)", n,
                   SupervisorPolicy::kWindowSeconds);
        result = End(-1);
        return false;
    }
    if (n >= 1) {
        const int delay = SupervisorPolicy::kDelayBaseMs << (n - 1);
        wxLogVerbose("Delaying %dms before restart %d", delay, n);
        m_ops.SleepMs(delay);
    }
    return true;
}

pid_t CSupervisor::StartWorker(int& result)
{
    // The start is recorded with the time taken before the delay, so a crash loop's
    // starts are spaced by the delays alone and reach the limit in bounded time.
    const long long now = m_ops.Now();
    if (!MayStart(now, result))
        return -1;

    // The last look for a stop and the fork are one step: a SIGTERM in between would find
    // no worker, and the new one would never hear of it.
    m_ops.HoldStopRequests(true);
    if (m_ops.PendingStop() == StopRequest::WhileIdle) {
        m_ops.HoldStopRequests(false);
        result = EndOnIdleStop();
        return -1;
    }
    m_starts[m_index] = now;

    const pid_t worker = m_ops.Fork();
    if (worker < 0) {
        m_ops.HoldStopRequests(false);
        wxLogSysError(m_ops.LastError(), "Unable to fork child");
        result = End(-1);
        return -1;
    }
    // The worker keeps stop requests held: one that is already pending waits for its own
    // wait for a stop signal.
    if (worker == 0)
        return 0;

    m_ops.PrepareWait(worker);
    m_ops.HoldStopRequests(false);
    m_worker = worker;
    // The status shows when the worker really started, after any delay.
    m_started = m_ops.Now();
    return worker;
}

bool CSupervisor::WaitForWorker(pid_t worker, int& status)
{
    const bool stopBefore = m_ops.PendingStop() != StopRequest::None;
    Publish(State::Running);
    for (;;) {
        const pid_t got = m_ops.WaitPid(worker, &status);
        if (got == worker)
            break;
        if (got == -1) {
            const int err = m_ops.LastError();
            if (err == EINTR) {
                // Our own SIGTERM handler interrupts the wait; the worker is still to be reaped.
                wxLogWarning("Waiting for child process interrupted - Try again");
                if (!stopBefore && m_state != State::Stopping && m_ops.PendingStop() != StopRequest::None)
                    Publish(State::Stopping);
                continue;
            }
            wxLogSysError(err, "Error waiting for child process");
            return false;
        }
    }
    m_lastWorker = worker;
    m_worker = 0;
    return true;
}

int CSupervisor::Run()
{
    for (;;) {
        int result = 0;
        const pid_t worker = StartWorker(result);
        if (worker < 0)
            return result;
        if (worker == 0)
            return m_runWorker();

        int status = 0;
        if (!WaitForWorker(worker, status))
            return End(-1);

        const Outcome outcome = Classify(status, result);
        if (!m_firstEnded) {
            m_firstEnded = true;
            m_ops.FirstWorkerEnded(m_lastExit);
        }
        if (outcome == Outcome::End)
            return End(result, m_lastExit);
        Publish(State::Delaying);
        if (outcome == Outcome::StopDriverAndRestart)
            StopDriver();
        m_index = (m_index + 1) % SupervisorPolicy::kMaxStarts;
    }
}

CSupervisor::Outcome CSupervisor::Classify(int status, int& result)
{
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        m_lastExit = wxString::Format("Child process exited with status %d (exit %d)", status, code);
        wxLogVerbose("%s", m_lastExit);
        if (code == SupervisorPolicy::kDriverStopExitCode)
            return Outcome::StopDriverAndRestart;
        result = code;
        return Outcome::End;
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        if (name == nullptr)
            name = "Unknown Signal";
        const bool crashed = sig == SIGILL || sig == SIGTRAP || sig == SIGABRT || sig == SIGSEGV;
        m_lastExit = wxString::Format("Child process %s with status %d (signal %d: %s)", crashed ? "crashed" : "exited",
                                      status, sig, name);
        if (crashed)
            wxLogError("%s", m_lastExit);
        else
            wxLogVerbose("%s", m_lastExit);
        const wxString report = m_ops.CrashReportOf(m_lastWorker);
        if (!report.empty())
            wxLogError("Crash report of worker %d: %s", static_cast<int>(m_lastWorker), report);
        if (sig == SIGTERM) {
            result = 0;
            return Outcome::End;
        }
        return Outcome::Restart;
    }
    m_lastExit = wxString::Format("Child process exited with status %d", status);
    wxLogVerbose("%s", m_lastExit);
    return Outcome::Restart;
}

void CSupervisor::StopDriver()
{
    // A missing script means there is no driver to stop: nothing to say about it.
    if (!m_ops.IsExecutable(SupervisorPolicy::kDriverScript))
        return;
    wxArrayString args;
    args.Add(SupervisorPolicy::kDriverStopArg);
    wxString err;
    if (m_ops.RunProgram(SupervisorPolicy::kDriverScript, args, err))
        wxLogMessage("Driver stopped using %s", SupervisorPolicy::kDriverScript);
    else
        wxLogError("Error stopping driver: %s", err);
}
