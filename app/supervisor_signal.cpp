// The supervisor's SIGTERM handler: the first request is passed on to the worker, a second
// ends the supervisor at once.
#include "supervisor_signal.h"

#include "fd_write.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

wxString _the_pid_file;
volatile sig_atomic_t _my_pid = 0;
volatile sig_atomic_t once = 0;
volatile sig_atomic_t g_worker_pid = 0;
volatile sig_atomic_t g_stop_while_idle = 0;

namespace {

// The handler may run at any point of the loop, including inside malloc or the framework's
// logging, so it must not touch wxString or anything else that allocates or locks: it reads
// the path from this fixed array, filled before the handler is installed.
char s_pidFilePath[PATH_MAX];
char s_statusFilePath[PATH_MAX];
char s_statusTempPath[PATH_MAX];
char s_stoppedStatus[1024];
size_t s_stoppedStatusLength = 0;

// A path that does not fit is not truncated into the name of some other file.
void keepPath(char (&into)[PATH_MAX], const wxString& path)
{
    const wxScopedCharBuffer bytes = path.mb_str(wxConvLibc);
    const char* text = bytes.data() != nullptr ? bytes.data() : "";
    const size_t length = std::strlen(text);
    if (length < sizeof into)
        std::memcpy(into, text, length + 1);
    else
        into[0] = '\0';
}

// A worker that has ended but is not reaped yet can no longer act on the signal either.
// WNOWAIT leaves it for the loop's waitpid to reap and classify; waitid is a plain system call,
// safe here like waitpid.
bool workerRunning()
{
    const pid_t worker = g_worker_pid;
    if (worker == 0)
        return false;
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_PID, static_cast<id_t>(worker), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno != ECHILD;  // reaped already by the loop: gone
    return info.si_pid == 0;
}

// The status file of a supervisor that ends here, replaced in one step like every other time.
void leaveStoppedStatus()
{
    if (s_statusFilePath[0] == '\0' || s_statusTempPath[0] == '\0' || s_stoppedStatusLength == 0)
        return;
    // A new file under a name fixed at arming and never shown: whatever was planted there, a
    // link included, makes the open fail rather than be written through.
    const int fd = open(s_statusTempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const bool ok = fdio::WriteAll(fd, s_stoppedStatus, s_stoppedStatusLength);
    if (close(fd) == 0 && ok)
        rename(s_statusTempPath, s_statusFilePath);
    else
        unlink(s_statusTempPath);
}

// "<file>.<pid>.<random>.tmp", the form every replaced file of the work folder is written under,
// so that leftovers of a killed supervisor are recognised as such.
wxString unpredictableTemporary(const wxString& file)
{
    std::random_device random;
    return wxString::Format("%s.%ld.%08x%08x.tmp", file, static_cast<long>(getpid()), random(), random());
}

// SIGTERM held while the handler's own data changes.
class CHeldSigterm {
public:
    CHeldSigterm()
    {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, &m_old);
    }
    ~CHeldSigterm() { sigprocmask(SIG_SETMASK, &m_old, nullptr); }
    CHeldSigterm(const CHeldSigterm&) = delete;
    CHeldSigterm& operator=(const CHeldSigterm&) = delete;

private:
    sigset_t m_old;
};

}  // namespace

void pass_signal(int, siginfo_t* info, void*)
{
    if (info != nullptr && info->si_pid == _my_pid)
        return;
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    once = once + 1;
    if (once == 1) {
        if (s_pidFilePath[0] != '\0')
            unlink(s_pidFilePath);
        if (!workerRunning())
            g_stop_while_idle = 1;
        kill(0, SIGTERM);
        errno = savedErrno;
        return;
    }
    // exit() would run atexit handlers and static destructors that may be half-way through
    // their work in the interrupted code; _exit() is the safe way out of a handler. The
    // status file must not keep describing a supervisor that is gone.
    leaveStoppedStatus();
    kill(0, SIGTERM);
    _exit(0);
}

void KeepStoppedStatusText(const std::string& text)
{
    const CHeldSigterm held;
    s_stoppedStatusLength = text.size() < sizeof s_stoppedStatus ? text.size() : 0;
    std::memcpy(s_stoppedStatus, text.data(), s_stoppedStatusLength);
}

void ArmSupervisorSignalHandler(const wxString& pidFile, const wxString& statusFile)
{
    // Keep SIGTERM out while the shared state changes under an already installed handler.
    const CHeldSigterm held;

    _the_pid_file = pidFile;
    keepPath(s_pidFilePath, pidFile);
    keepPath(s_statusFilePath, statusFile);
    keepPath(s_statusTempPath, statusFile.empty() ? statusFile : unpredictableTemporary(statusFile));
    _my_pid = getpid();

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = pass_signal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGTERM, &action, nullptr);
}
