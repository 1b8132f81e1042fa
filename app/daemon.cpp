// Daemon mode: detach from the terminal under a pid file and supervise the worker.
#include "agent_app.h"

#include "process_ops.h"
#include "supervisor.h"

#include "dom.h"
#include "pid_file.h"

#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <unistd.h>

namespace {

void redirectToNull(FILE* stream, const char* mode)
{
    if (std::freopen("/dev/null", mode, stream) == nullptr) {
        // Nowhere to report it: the terminal is gone and the disk log does not use these streams.
    }
}

} // namespace

int CAgentApp::RunDaemon()
{
    m_pidFile = wxString::Format("/var/run/%s.pid", GetAppName());

    const int recorded = VkaCore::ReadPidFile(m_pidFile);
    if (recorded != 0) {
        // Only a process that certainly does not exist lets us take over its pid file; a live
        // one, or one we may not signal, is treated as a running daemon.
        if (kill(recorded, 0) == -1 && errno == ESRCH) {
            wxLogVerbose("%.128s present (pid=%d), but doesn't seem to be running.", m_pidFile, recorded);
        } else {
            wxLogError("%.128s present, exiting", m_pidFile);
            exit(1);
        }
    }

    pid_t pid = fork();
    if (pid < 0) {
        wxLogSysError("Unable to fork");
        return -1;
    }
    if (pid > 0)
        exit(0);

    setsid();
    const wxString work = m_dom != nullptr ? m_dom->GetWxString("app.path.work") : wxString();
    const wxScopedCharBuffer workPath = work.mb_str(wxConvLibc);
    if (chdir(workPath.data() != nullptr ? workPath.data() : "") != 0) {
        // A daemon that cannot enter its work folder still runs; the log shows what it does.
    }

    // The session leader could reacquire a controlling terminal; its child cannot.
    pid = fork();
    if (pid < 0) {
        wxLogSysError("Unable to do 2nd fork");
        return -1;
    }
    if (pid > 0)
        exit(0);

    redirectToNull(stdin, "r");
    redirectToNull(stdout, "w");
    redirectToNull(stderr, "w");
    VkaCore::WritePidFile(m_pidFile);

    CPosixProcessOps ops(m_pidFile);
    CSupervisor supervisor(ops, [this]() {
        // The worker is an ordinary agent from the foreground path's second step on; it never
        // comes back into the loop.
        exit(RunForeground(true));
        return 0;
    });
    return supervisor.Run();
}
