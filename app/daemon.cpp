// Daemon mode: detach from the terminal under a pid file and supervise the worker.
#include "agent_app.h"

#include "process_ops.h"
#include "supervisor.h"
#include "supervisor_signal.h"

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

// The starting process waits here until the supervisor has written its pid file (or failed
// to), so whoever started it finds the file the moment it returns. The message is the error
// number of the pid file, 0 when it was written; end of file without one means the daemon
// never got that far and has logged why.
void awaitReadiness(int fd, const wxString& pidFile)
{
    int err = 0;
    size_t got = 0;
    char* bytes = reinterpret_cast<char*>(&err);
    while (got < sizeof err) {
        const ssize_t n = read(fd, bytes + got, sizeof err - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got == sizeof err && err != 0) {
        const wxString text =
            wxString::Format(kPidFileError, pidFile) + wxString::Format(" (error %d: %s)", err, wxSysErrorMsgStr(err));
        VkaCore::WriteTerminalLine("ERROR", std::string(text.utf8_str()));
    }
}

void signalReadiness(int fd, int err)
{
    if (fd < 0)
        return;
    // Four bytes on a pipe arrive whole.
    while (write(fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    close(fd);
}

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

// Forks twice into a new session in the work folder: the starting process waits for readiness
// on ready[0] and exits, the session leader exits at once. True in the daemon, false when a fork
// failed (logged).
bool detach(int ready[2], const wxString& pidFile, const wxString& work)
{
    pid_t pid = fork();
    if (pid < 0) {
        wxLogSysError("Unable to fork");
        return false;
    }
    if (pid > 0) {
        if (ready[0] >= 0) {
            close(ready[1]);
            awaitReadiness(ready[0], pidFile);
        }
        exit(0);
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

CAgentApp::DaemonRole CAgentApp::RunDaemon()
{
    m_pidFile = wxString::Format("/var/run/%s.pid", GetAppName());
    exitIfDaemonRuns(m_pidFile);

    // Without the pipe the start still works; it just returns without waiting.
    int ready[2] = {-1, -1};
    if (pipe(ready) == 0) {
        fcntl(ready[0], F_SETFD, FD_CLOEXEC);
        fcntl(ready[1], F_SETFD, FD_CLOEXEC);
    }

    DaemonRole role;
    const wxString work = m_dom != nullptr ? m_dom->GetWxString("app.path.work") : wxString();
    if (!detach(ready, m_pidFile, work)) {
        role.result = -1;
        return role;
    }

    const wxString status = work.empty() ? wxString() : wxFileName(work, GetAppName() + ".status").GetFullPath();
    // Armed before the pid file exists, so no stop request finds the supervisor unprepared.
    ArmSupervisorSignalHandler(m_pidFile, status);
    int pidFileErr = 0;
    if (!VkaCore::WritePidFile(m_pidFile)) {
        pidFileErr = errno != 0 ? errno : EINVAL;
        // The daemon runs on without one, but an operator must learn that it has no stop
        // handle and no guard against a second start.
        wxLogSysError(pidFileErr, kPidFileError, m_pidFile);
    }
    signalReadiness(ready[1], pidFileErr);

    CPosixProcessOps ops(m_pidFile, status);
    // The worker leaves the loop at once and comes back through here to OnRun, which sends it
    // along the foreground path.
    CSupervisor supervisor(ops, [&role, &ops]() {
        role.worker = true;
        role.lifeline = ops.WorkerLifeline();
        return 0;
    });
    role.result = supervisor.Run();
    return role;
}
