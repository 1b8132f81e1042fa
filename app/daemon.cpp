// Daemon mode: detach from the terminal under a pid file, wait for the application to start,
// and supervise the worker.
#include "agent_app.h"

#include "agent_lock.h"
#include "readiness.h"

#include "process_ops.h"
#include "supervisor.h"
#include "supervisor_signal.h"
#include "worker_stop.h"

#include "dom.h"
#include "log2disk.h"
#include "pid_file.h"

#include <wx/filename.h>
#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

void redirectToNull(FILE* stream, const char* mode)
{
    if (std::freopen("/dev/null", mode, stream) == nullptr) {
        // Nowhere to report it: the terminal is gone and the disk log does not use these streams.
    }
}

// Logged by the supervisor, and shown on the terminal by the process that started it.
const char kPidFileError[] = "Unable to write pid file %s";

// Margin over the worker's stop limit for an earlier worker to finish ending.
constexpr int kLockWaitMarginMs = 5000;

// Only a process that certainly does not exist lets us take over its pid file; a live one, or
// one we may not signal, is treated as a running daemon, and the start ends here.
void exitIfDaemonRuns(const wxString& pidFile)
{
    const int recorded = VkaCore::ReadPidFile(pidFile);
    if (recorded == 0)
        return;
    if (kill(recorded, 0) == -1 && errno == ESRCH) {
        wxLogVerbose("%.128s present (pid=%d), but doesn't seem to be running.", pidFile, recorded);
        return;
    }
    wxLogError("%.128s present, exiting", pidFile);
    exit(1);
}

// An earlier worker of this name (an orphan whose supervisor was killed) is still ending: it
// ends within its stop limit, so a start waits that long and then refuses, rather than run a
// second agent beside it.
void exitIfEarlierAgentRuns(const wxString& lockFile)
{
    const int waitMs = CurrentStopLimits().limitMs + kLockWaitMarginMs;
    const pid_t holder = AwaitAgentLockFree(lockFile, waitMs);
    if (holder == 0)
        return;
    wxLogError("An earlier agent of this name (pid %d) still holds %s after %d s; not starting",
               static_cast<int>(holder), lockFile, waitMs / 1000);
    exit(1);
}

// Forks twice into a new session in the work folder: the starting process waits for readiness
// on ready[0] and exits, the session leader exits at once. True in the daemon, false when a fork
// failed (logged).
bool detach(int ready[2], const wxString& appName, const wxString& work)
{
    pid_t pid = fork();
    if (pid < 0) {
        wxLogSysError("Unable to fork");
        return false;
    }
    if (pid > 0) {
        if (ready[0] < 0)
            exit(0);
        close(ready[1]);
        exit(AwaitReadiness(ready[0], appName, wxFileName(work, appName, "log").GetFullPath()));
    }
    if (ready[0] >= 0)
        close(ready[0]);

    setsid();
    const wxScopedCharBuffer workPath = work.mb_str(wxConvLibc);
    if (chdir(workPath.data() != nullptr ? workPath.data() : "") != 0) {
        // A daemon that cannot enter its work folder still runs; the log shows what it does.
    }

    // The session leader could reacquire a controlling terminal; its child cannot.
    pid = fork();
    if (pid < 0) {
        wxLogSysError("Unable to do 2nd fork");
        return false;
    }
    if (pid > 0)
        exit(0);

    redirectToNull(stdin, "r");
    redirectToNull(stdout, "w");
    redirectToNull(stderr, "w");
    return true;
}

}  // namespace

wxString CAgentApp::WorkFile(const wxString& extension) const
{
    const wxString work = m_dom != nullptr ? m_dom->GetWxString("app.path.work") : wxString();
    return work.empty() ? wxString() : wxFileName(work, GetAppName(), extension).GetFullPath();
}

CAgentApp::DaemonRole CAgentApp::RunDaemon()
{
    m_pidFile = wxString::Format("/var/run/%s.pid", GetAppName());
    exitIfDaemonRuns(m_pidFile);
    exitIfEarlierAgentRuns(WorkFile("lock"));

    // Without the pipe the start still works; it just returns without waiting.
    int ready[2] = {-1, -1};
    if (pipe(ready) == 0) {
        fcntl(ready[0], F_SETFD, FD_CLOEXEC);
        fcntl(ready[1], F_SETFD, FD_CLOEXEC);
    }

    DaemonRole role;
    const wxString work = m_dom != nullptr ? m_dom->GetWxString("app.path.work") : wxString();
    if (!detach(ready, GetAppName(), work)) {
        role.result = -1;
        return role;
    }
    // The start command stops reading once the application has started; a later message to it
    // must fail quietly instead of ending the supervisor.
    signal(SIGPIPE, SIG_IGN);

    const wxString status = WorkFile("status");
    // Armed before the pid file exists, so no stop request finds the supervisor unprepared.
    ArmSupervisorSignalHandler(m_pidFile, status);
    if (!VkaCore::WritePidFile(m_pidFile)) {
        const int err = errno != 0 ? errno : EINVAL;
        // The daemon runs on without one, but an operator must learn that it has no stop
        // handle and no guard against a second start.
        wxLogSysError(err, kPidFileError, m_pidFile);
        const wxString text =
            wxString::Format(kPidFileError, m_pidFile) + wxString::Format(" (error %d: %s)", err, wxSysErrorMsgStr(err));
        SendReadiness(ready[1], ReadinessKind::PidFileError, std::string(text.utf8_str()));
    }

    CPosixProcessOps ops(m_pidFile, status);
    ops.SetReadiness(ready[1]);
    ops.SetCrashReport(wxFileName(m_dom->GetPluginWorkdirWx("diag"), GetAppName(), "mdmp").GetFullPath());
    // The worker leaves the loop at once and comes back through here to OnRun, which sends it
    // along the foreground path.
    CSupervisor supervisor(ops, [&role, &ops]() {
        role.worker = true;
        role.lifeline = ops.WorkerLifeline();
        role.readiness = ops.TakeWorkerReadiness();
        return 0;
    });
    role.result = supervisor.Run();
    return role;
}
