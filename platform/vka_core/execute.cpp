// Running a program without a shell and collecting what it prints.

#include "execute.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace VkaCore {

namespace {

// How often a child that has ended is looked for while its output pipe stays open: a
// grandchild it left running may hold the pipe for ever.
constexpr int kPollMillis = 100;

bool makePipe(int fds[2])
{
#if defined(__linux__)
    return ::pipe2(fds, O_CLOEXEC) == 0;
#else
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

void appendAvailable(int fd, std::string& out, bool& open)
{
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            open = false;
        return;  // EAGAIN: nothing more for now
    }
}

// Waits for pid without ever blocking on a signal: the caller may have SIGCHLD blocked.
bool reap(pid_t pid, int& status, bool block)
{
    for (;;) {
        pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Starts path with argv, its input from /dev/null and its output and errors into out; 0 or the
// error number of the spawn.
int spawnInto(const std::string& path, std::vector<char*>& argv, int out, pid_t& pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);

    // The program starts with an empty signal mask and default dispositions, whatever the
    // calling thread blocks or handles (the supervisor blocks SIGCHLD, the agent SIGTERM).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid = -1;
    const int rc = path.find('/') == std::string::npos
                       ? ::posix_spawnp(&pid, path.c_str(), &actions, &attr, argv.data(), environ)
                       : ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

// Reads the pipe in until it closes or the child has ended; true when the child was reaped
// meanwhile (status then holds its wait status).
bool collect(int in, pid_t pid, std::string& collected, int& status)
{
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) | O_NONBLOCK);
    bool pipeOpen = true;
    while (pipeOpen) {
        struct pollfd p = {in, POLLIN, 0};
        int n = ::poll(&p, 1, kPollMillis);
        if (n > 0) {
            appendAvailable(in, collected, pipeOpen);
        } else if (n == 0 && reap(pid, status, false)) {
            // Ended while something else keeps the pipe open: take what is there and stop.
            appendAvailable(in, collected, pipeOpen);
            return true;
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    return false;
}

// The outcome a wait status stands for: true for exit status 0, otherwise err says why.
bool outcomeOf(int status, int& exitCode, wxString& err)
{
    if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
        if (exitCode == 0)
            return true;
        err = wxString::Format("exit status %d", exitCode);
        return false;
    }
    if (WIFSIGNALED(status)) {
        err = wxString::Format("killed by signal %d", WTERMSIG(status));
        return false;
    }
    err = wxString::Format("ended with wait status %d", status);
    return false;
}

}  // namespace

bool Execute(const wxString& program, const wxArrayString& args, wxString& out, int& exitCode, wxString& err)
{
    out.clear();
    err.clear();
    exitCode = -1;

    const std::string path = std::string(program.fn_str());
    std::vector<std::string> argStore;
    argStore.push_back(path);
    for (const wxString& a : args)
        argStore.push_back(std::string(a.mb_str()));
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int fds[2];
    if (!makePipe(fds)) {
        err = wxString::Format("cannot create pipe: %s", strerror(errno));
        return false;
    }
    pid_t pid = -1;
    const int rc = spawnInto(path, argv, fds[1], pid);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        if (rc == ENOENT || rc == ENOTDIR)
            err = "not found";
        else
            err = wxString::Format("cannot run: %s", strerror(rc));
        return false;
    }

    std::string collected;
    int status = 0;
    const bool reaped = collect(fds[0], pid, collected, status);
    ::close(fds[0]);
    out = wxString(collected.data(), wxConvWhateverWorks, collected.size());
    if (!reaped && !reap(pid, status, true)) {
        // Only when SIGCHLD is ignored does the system reap the child for us.
        err = wxString::Format("cannot wait for the program: %s", strerror(errno));
        return false;
    }
    return outcomeOf(status, exitCode, err);
}

}  // namespace VkaCore
