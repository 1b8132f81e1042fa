// Pid files guarded by a record lock that lives exactly as long as the writing process.

#include "pid_file.h"
#include "utf8_text.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VkaCore {

namespace {

// The pid file this process wrote and locks. A record lock belongs to the process and
// the file, and closing ANY descriptor of that file in this process drops it, so the
// descriptor is kept and the file is never opened again while we hold it.
struct HeldPidFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    pid_t owner = 0;  // the process holding the lock; a forked child inherits fd, not lock
};

std::mutex g_heldMutex;
HeldPidFile g_held;

// "<digits>\n", a missing final newline or trailing blanks tolerated; 0 for anything else.
int parsePid(const char* text, size_t len)
{
    size_t i = 0;
    long long value = 0;
    size_t digits = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return 0;
        ++i;
        ++digits;
    }
    if (digits == 0)
        return 0;
    while (i < len && (text[i] == '\n' || text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
        ++i;
    if (i != len)
        return 0;
    return static_cast<int>(value);
}

int readPid(int fd)
{
    char buf[32];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t n = ::pread(fd, buf + len, sizeof buf - len, static_cast<off_t>(len));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += static_cast<size_t>(n);
    }
    if (len == sizeof buf)
        return 0;  // far longer than any pid
    return parsePid(buf, len);
}

bool processAlive(int pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::string folderOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

int ReadPidFile(const wxString& path)
{
    const std::string file = ToPathBytes(path);
    struct stat st;
    if (::stat(file.c_str(), &st) != 0)
        return 0;

    {
        // Our own file: read through the descriptor we hold; opening and closing another
        // one would release the lock.
        std::lock_guard<std::mutex> lock(g_heldMutex);
        if (g_held.fd >= 0 && g_held.owner == ::getpid() && g_held.dev == st.st_dev && g_held.ino == st.st_ino)
            return readPid(g_held.fd);
    }

    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int pid = readPid(fd);
    if (pid <= 0) {
        ::close(fd);
        return 0;
    }
    struct flock probe;
    memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    bool locked = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    if (locked)
        return pid;
    // Nobody holds the file: its writer is gone. A pid that still runs is some other
    // process that was given the number later, not our daemon.
    if (processAlive(pid))
        return 0;
    return pid;
}

bool WritePidFile(const wxString& path)
{
    const std::string file = ToPathBytes(path);
    if (file.empty())
        return false;
    std::string temp = folderOf(file) + "/.pid-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        return false;
    temp.assign(name.data());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);

    std::string text = std::to_string(static_cast<long>(::getpid())) + "\n";
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fchmod(fd, 0644) == 0;
    // Locked before it gets its name, so the file is never visible unlocked.
    struct flock lk;
    memset(&lk, 0, sizeof lk);
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ok = ok && ::fcntl(fd, F_SETLK, &lk) == 0;
    struct stat st;
    ok = ok && ::fstat(fd, &st) == 0;
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }

    std::lock_guard<std::mutex> lock(g_heldMutex);
    // The previous file (another inode) may go now; closing it leaves the new lock alone.
    if (g_held.fd >= 0)
        ::close(g_held.fd);
    g_held.fd = fd;
    g_held.dev = st.st_dev;
    g_held.ino = st.st_ino;
    g_held.owner = ::getpid();
    return true;
}

}  // namespace VkaCore
