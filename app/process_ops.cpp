#include "process_ops.h"

#include "supervisor_signal.h"

#include "execute.h"

#include <cerrno>
#include <ctime>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

CPosixProcessOps::CPosixProcessOps(const wxString& pidFile)
    : m_pidFile(pidFile)
{
    const wxScopedCharBuffer path = pidFile.mb_str(wxConvLibc);
    if (path.data() != nullptr)
        m_pidPath = path.data();
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
    const pid_t pid = fork();
    if (pid < 0)
        m_lastError = errno;
    return pid;
}

void CPosixProcessOps::PrepareWait(pid_t)
{
    // The worker is reaped by waitpid alone; SIGCHLD stays blocked so it never interrupts.
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    ArmSupervisorSignalHandler(m_pidFile);
}

pid_t CPosixProcessOps::WaitPid(pid_t pid, int* status)
{
    const pid_t got = waitpid(pid, status, 0);
    if (got == -1)
        m_lastError = errno;
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
