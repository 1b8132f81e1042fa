// The repository lock: a process-wide table of what this process holds on each repository, and
// record locks on two bytes of relay.lock for what other processes hold.

#include "repository_lock.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "file_paths.h"
#include "record_lock.h"
#include "regular_file.h"
#include "relay_contract.h"
#include "relay_log.h"

namespace kvtrelay {

namespace {

using Clock = std::chrono::steady_clock;

const int kDefaultLockTimeout = 60;
// How often a lock held by another process is tried again.
const auto kLockRetry = std::chrono::milliseconds(20);
// The bytes of the lock file: a writer's run, and the state readers read.
const off_t kRunByte = 0;
const off_t kStateByte = 1;

// What this process holds on one repository.
struct Held {
    int fd = -1;            // the process's one descriptor of the lock file; -1 when none
    int users = 0;          // holders sharing fd
    bool run = false;       // a writer runs
    bool changing = false;  // the writer changes the state
    int readers = 0;        // readers of the state
};

std::mutex g_heldMutex;
std::condition_variable g_heldChanged;
std::map<std::string, Held> g_held;

// Tries lock on fd until deadline: 0, EAGAIN at the deadline, or the error of a file system
// without record locks (then only this process's threads are kept apart).
int waitForRange(int fd, bool writer, off_t byte, Clock::time_point deadline)
{
    for (;;) {
        const int err = fdio::LockRecord(fd, writer, byte, 1);
        if (!fdio::LockHeldElsewhere(err))
            return err;
        if (Clock::now() >= deadline)
            return EAGAIN;
        std::this_thread::sleep_for(kLockRetry);
    }
}

}  // namespace

CRepositoryLock::~CRepositoryLock()
{
    Release();
}

int CRepositoryLock::DefaultTimeout()
{
    const char* env = getenv("KVTRELAY_LOCK_TIMEOUT");
    if (env && *env) {
        char* end = nullptr;
        long v = strtol(env, &end, 10);
        if (!*end && v >= 0 && v < 86400)
            return static_cast<int>(v);
    }
    return kDefaultLockTimeout;
}

int32_t CRepositoryLock::Acquire(const std::string& repository, int timeoutSeconds, bool writer)
{
    Release();
    struct stat folder;
    if (stat(repository.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return KVTRELAY_E_REPOSITORY;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    const std::string key = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino);
    {
        // This process's other threads first: a writer waits for another writer's run, a
        // reader only while a writer changes the state.
        std::unique_lock<std::mutex> held(g_heldMutex);
        Held& h = g_held[key];
        if (!g_heldChanged.wait_until(held, deadline, [&] { return writer ? !h.run : !h.changing; }))
            return KVTRELAY_E_BUSY;
        if (writer)
            h.run = true;
        else
            ++h.readers;
    }
    m_key = key;
    m_writer = writer;
    const int32_t status = lockFile(repository, timeoutSeconds);
    if (status <= 0)
        Release();
    return status;
}

int32_t CRepositoryLock::lockFile(const std::string& repository, int timeoutSeconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    const std::string path = JoinPath(repository, contract::kLockFile);
    std::unique_lock<std::mutex> held(g_heldMutex);
    Held& h = g_held[m_key];
    if (h.fd < 0) {
        // A link planted as the lock file would have it created wherever it points. Readers
        // open it for writing too where they may, so that a writer thread can share it.
        struct stat st;
        fdio::OpenResult opened = fdio::OpenRegularFile(path, h.fd, st, O_RDWR | O_NOFOLLOW | (m_writer ? O_CREAT : 0));
        if (opened == fdio::OpenResult::Failed && !m_writer && errno == EACCES)
            opened = fdio::OpenRegularFile(path, h.fd, st, O_NOFOLLOW);
        if (opened == fdio::OpenResult::NotRegular) {
            held.unlock();
            AppendRelayLog(repository, path + " is " + fdio::KindOf(st.st_mode) + ", not a regular file: refused");
            return KVTRELAY_E_REPOSITORY;
        }
        if (h.fd < 0)
            return m_writer ? KVTRELAY_E_WRITE : KVTRELAY_S_OK;  // a reader: nothing was ever mirrored here
    }
    ++h.users;
    m_usesFile = true;
    const int fd = h.fd;
    held.unlock();
    // Readers of one process each ask: a lock the process holds already is granted at once.
    const int err = waitForRange(fd, m_writer, m_writer ? kRunByte : kStateByte, deadline);
    if (err == EAGAIN)
        return KVTRELAY_E_BUSY;
    // A lock file removed or replaced while a writer waited is no lock at all: the next
    // process would make a new one. A writer alone on the file goes on only with the file at
    // its name.
    struct stat locked, named;
    held.lock();
    if (!m_writer || h.users > 1 ||
        (fstat(fd, &locked) == 0 && lstat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
         locked.st_ino == named.st_ino))
        return KVTRELAY_S_OK;
    close(h.fd);
    h.fd = -1;
    h.users = 0;
    m_usesFile = false;
    held.unlock();
    return lockFile(repository, timeoutSeconds);
}

int32_t CRepositoryLock::BeginChange(int timeoutSeconds)
{
    if (!m_writer || m_changing)
        return KVTRELAY_S_OK;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::unique_lock<std::mutex> held(g_heldMutex);
    Held& h = g_held[m_key];
    h.changing = true;  // no new reader of this process starts meanwhile
    m_changing = true;
    if (!g_heldChanged.wait_until(held, deadline, [&] { return h.readers == 0; }))
        return KVTRELAY_E_BUSY;
    const int fd = h.fd;
    held.unlock();
    return fd < 0 || waitForRange(fd, true, kStateByte, deadline) != EAGAIN ? KVTRELAY_S_OK : KVTRELAY_E_BUSY;
}

void CRepositoryLock::Release()
{
    if (m_key.empty())
        return;
    {
        std::lock_guard<std::mutex> held(g_heldMutex);
        Held& h = g_held[m_key];
        if (m_changing) {
            h.changing = false;
            if (h.fd >= 0)
                fdio::UnlockRecord(h.fd, kStateByte, 1);
        }
        if (m_writer) {
            h.run = false;
            if (h.fd >= 0)
                fdio::UnlockRecord(h.fd, kRunByte, 1);
        } else if (--h.readers == 0 && h.fd >= 0 && !h.changing) {
            fdio::UnlockRecord(h.fd, kStateByte, 1);
        }
        // Closing drops every lock of the process on the file: only the last user does.
        if (m_usesFile && --h.users == 0) {
            close(h.fd);
            h.fd = -1;
        }
        if (!h.run && h.readers == 0 && h.users == 0)
            g_held.erase(m_key);
    }
    g_heldChanged.notify_all();
    m_key.clear();
    m_writer = m_changing = m_usesFile = false;
}

}  // namespace kvtrelay
