// The supervisor's process operations on a POSIX system.
#include "process_ops.h"
#include "agent_app_helpers.h"

#include "readiness.h"
#include "supervisor_signal.h"

#include "execute.h"
#include "fd_write.h"
#include "folder_files.h"

#include <wx/log.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Neither end may reach a program that a worker or the supervisor executes: a stray copy of
// the write end would keep a dead supervisor's pipe open.
bool closeOnExecPipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    for (int i = 0; i < 2; ++i)
        fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    return true;
}

}  // namespace

CPosixProcessOps::CPosixProcessOps(const wxString& pidFile, const wxString& statusFile)
    : m_pidFile(pidFile), m_pidPath(PathBytes(pidFile)), m_statusFile(statusFile), m_statusPath(PathBytes(statusFile))
{
    // What a supervisor killed in the middle of a status write left behind.
    if (!m_statusPath.empty())
        fdio::RemoveStaleTemporaries(m_statusPath);
}

CPosixProcessOps::~CPosixProcessOps()
{
    CloseLifeline();
    // In the supervisor: the start command, if still waiting, reads end of file.
    if (m_readiness >= 0)
        close(m_readiness);
}

void CPosixProcessOps::CloseLifeline()
{
    if (m_lifelineWrite >= 0)
        close(m_lifelineWrite);
    m_lifelineWrite = -1;
}

long long CPosixProcessOps::Now()
{
    return static_cast<long long>(time(nullptr));
}

void CPosixProcessOps::SleepMs(int ms)
{
    // The SIGTERM handler interrupts nanosleep; the pause still lasts its full length.
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

pid_t CPosixProcessOps::Fork()
{
    // The supervisor holds the only write end and never writes: the worker sees end of file
    // exactly when the supervisor is gone, however it ended.
    int lifeline[2] = {-1, -1};
    if (!closeOnExecPipe(lifeline))
        wxLogSysError("Unable to create the pipe that ends a worker with its supervisor");
    const pid_t pid = fork();
    if (pid < 0) {
        m_lastError = errno;
        if (lifeline[0] >= 0) {
            close(lifeline[0]);
            close(lifeline[1]);
        }
        return pid;
    }
    if (pid == 0) {
        if (lifeline[1] >= 0)
            close(lifeline[1]);
        // The worker keeps the readiness pipe: only the first inherits an open one, as the
        // supervisor closes its copy when that worker ends.
        CloseLifeline();
        m_lifelineRead = lifeline[0];
        return pid;
    }
    if (lifeline[0] >= 0)
        close(lifeline[0]);
    CloseLifeline();
    m_lifelineWrite = lifeline[1];
    return pid;
}

void CPosixProcessOps::HoldStopRequests(bool hold)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &term, nullptr);
}

void CPosixProcessOps::PrepareWait(pid_t worker)
{
    g_worker_pid = worker;
    // The worker is reaped by waitpid alone; SIGCHLD stays blocked so it never interrupts.
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    ArmSupervisorSignalHandler(m_pidFile, m_statusFile);
}

pid_t CPosixProcessOps::WaitPid(pid_t pid, int* status)
{
    const pid_t got = waitpid(pid, status, 0);
    if (got == -1)
        m_lastError = errno;
    if (got == pid) {
        g_worker_pid = 0;
        CloseLifeline();
    }
    return got;
}

int CPosixProcessOps::LastError()
{
    return m_lastError;
}

bool CPosixProcessOps::IsExecutable(const char* path)
{
    return access(path, X_OK) == 0;
}

bool CPosixProcessOps::RunProgram(const wxString& program, const wxArrayString& args, wxString& err)
{
    wxString out;
    int exitCode = 0;
    return VkaCore::Execute(program, args, out, exitCode, err);
}

void CPosixProcessOps::RemovePidFile()
{
    // Absent already (the first SIGTERM removes it) is the usual case, not an error.
    if (!m_pidPath.empty())
        unlink(m_pidPath.c_str());
}

pid_t CPosixProcessOps::OwnPid()
{
    return getpid();
}

StopRequest CPosixProcessOps::PendingStop()
{
    if (g_stop_while_idle)
        return StopRequest::WhileIdle;
    return once > 0 ? StopRequest::WhileWorkerRan : StopRequest::None;
}

void CPosixProcessOps::WriteStatus(const wxString& text)
{
    if (m_statusPath.empty())
        return;
    // Made under a new name and renamed over the file, so a reader never sees half of it and a
    // link planted in a shared work folder is replaced, never written through.
    const wxScopedCharBuffer bytes = text.utf8_str();
    const int err = fdio::ReplaceFile(m_statusPath, std::string(bytes.data(), bytes.length()), 0644);
    if (err == 0) {
        m_statusErrorLogged = false;
        return;
    }
    // An old file would go on naming a worker that is gone: better none.
    unlink(m_statusPath.c_str());
    // Once per run of failures: the file is rewritten on every change of state.
    if (!m_statusErrorLogged)
        wxLogSysError(err, "Unable to write status file %s", wxString(m_statusPath.c_str(), wxConvLibc));
    m_statusErrorLogged = true;
}

void CPosixProcessOps::KeepStatusForSecondStop(const wxString& text)
{
    const wxScopedCharBuffer bytes = text.utf8_str();
    KeepStoppedStatusText(std::string(bytes.data(), bytes.length()));
}

void CPosixProcessOps::FirstWorkerEnded(const wxString& howItEnded)
{
    if (m_readiness < 0)
        return;
    // The start command may be gone already (the application started long ago): SIGPIPE is
    // ignored in the supervisor, and the failed write does not matter.
    SendReadiness(m_readiness, ReadinessKind::WorkerEnded, std::string(howItEnded.utf8_str()));
    close(m_readiness);
    m_readiness = -1;
}

wxString CPosixProcessOps::CrashReportOf(pid_t worker)
{
    if (m_crashReport.empty())
        return wxString();
    // The report names the pid that wrote it, near its start; an older report names another.
    const std::string path = PathBytes(m_crashReport);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return wxString();
    char head[512];
    const ssize_t n = read(fd, head, sizeof head - 1);
    close(fd);
    if (n <= 0)
        return wxString();
    head[n] = '\0';
    const std::string mark = "\npid: " + std::to_string(static_cast<long long>(worker)) + "\n";
    return std::strstr(head, mark.c_str()) != nullptr ? m_crashReport : wxString();
}
