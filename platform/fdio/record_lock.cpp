// Whole-file record locks with fcntl, the kind every system of ours has and that ends with
// its process (never flock: it is not POSIX and not kept on every file system).

#include "record_lock.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>

namespace fdio {

namespace {

// How often a lock held by another process is tried again.
constexpr auto kLockRetry = std::chrono::milliseconds(20);

}  // namespace

int LockRecord(int fd, bool writer, off_t start, off_t length)
{
    struct flock lock = {};
    lock.l_type = writer ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

pid_t LockHolder(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &lock) != 0)
        return -1;
    return lock.l_type == F_UNLCK ? 0 : lock.l_pid;
}

void UnlockRecord(int fd, off_t start, off_t length)
{
    struct flock lock = {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    ::fcntl(fd, F_SETLK, &lock);
}

bool LockHeldElsewhere(int err)
{
    return err == EAGAIN || err == EACCES || err == EINTR;
}

int WaitForRecordLock(int fd, bool writer, int timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const int err = LockRecord(fd, writer);
        if (!LockHeldElsewhere(err))
            return err;
        if (std::chrono::steady_clock::now() >= deadline)
            return EAGAIN;
        std::this_thread::sleep_for(kLockRetry);
    }
}

}  // namespace fdio
