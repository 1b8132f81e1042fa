#include "supervisor.h"

#include <wx/log.h>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

CSupervisor::CSupervisor(CProcessOps& ops, std::function<int()> runWorker)
    : m_ops(ops), m_runWorker(std::move(runWorker))
{
}

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

int CSupervisor::End(int result)
{
    m_ops.RemovePidFile();
    return result;
}

int CSupervisor::Run()
{
    for (;;) {
        // The start is recorded with the time taken before the delay, so a crash loop's
        // starts are spaced by the delays alone and reach the limit in bounded time.
        const long long now = m_ops.Now();
        const int n = StartsWithinWindow(now);
        if (n >= SupervisorPolicy::kMaxStarts) {
            wxLogError("Too many restarts in too short of a time, exiting (%d restarts in less than %d seconds)",
                       n, SupervisorPolicy::kWindowSeconds);
            return End(-1);
        }
        if (n >= 1) {
            const int delay = SupervisorPolicy::kDelayBaseMs << (n - 1);
            wxLogVerbose("Delaying %dms before restart %d", delay, n);
            m_ops.SleepMs(delay);
        }
        m_starts[m_index] = now;

        const pid_t worker = m_ops.Fork();
        if (worker < 0) {
            wxLogSysError(m_ops.LastError(), "Unable to fork child");
            return End(-1);
        }
        if (worker == 0)
            return m_runWorker();

        m_ops.PrepareWait(worker);

        int status = 0;
        for (;;) {
            const pid_t got = m_ops.WaitPid(worker, &status);
            if (got == worker)
                break;
            if (got == -1) {
                const int err = m_ops.LastError();
                if (err == EINTR) {
                    // Our own SIGTERM handler interrupts the wait; the worker is still to be reaped.
                    wxLogWarning("Waiting for child process interrupted - Try again");
                    continue;
                }
                wxLogSysError(err, "Error waiting for child process");
                return End(-1);
            }
        }

        int result = 0;
        if (Classify(status, result) == Outcome::End)
            return End(result);
        m_index = (m_index + 1) % SupervisorPolicy::kMaxStarts;
    }
}

CSupervisor::Outcome CSupervisor::Classify(int status, int& result)
{
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        wxLogVerbose("Child process exited with status %d (exit %d)", status, code);
        if (code == SupervisorPolicy::kDriverStopExitCode) {
            StopDriver();
            return Outcome::Restart;
        }
        result = code;
        return Outcome::End;
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        if (name == nullptr)
            name = "Unknown Signal";
        const bool crashed = sig == SIGILL || sig == SIGTRAP || sig == SIGABRT || sig == SIGSEGV;
        if (crashed)
            wxLogError("Child process crashed with status %d (signal %d: %s)", status, sig, name);
        else
            wxLogVerbose("Child process exited with status %d (signal %d: %s)", status, sig, name);
        if (sig == SIGTERM) {
            result = 0;
            return Outcome::End;
        }
        return Outcome::Restart;
    }
    wxLogVerbose("Child process exited with status %d", status);
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
