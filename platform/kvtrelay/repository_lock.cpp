#include "repository_lock.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "file_paths.h"
#include "record_lock.h"
#include "regular_file.h"
#include "relay_log.h"
#include "relay_contract.h"

namespace kvtrelay {

namespace {

const int kDefaultLockTimeout = 60;
// How often a lock held by another process is tried again.
const auto kLockRetry = std::chrono::milliseconds(20);

// The repositories locked by this process, by device and inode of their folder.
std::mutex g_heldMutex;
std::condition_variable g_heldChanged;
std::set<std::string> g_held;

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string key = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino);
    {
        // Another thread of this process first: closing any descriptor of the lock file would
        // drop this process's record lock, so only the holder of the folder opens it.
        std::unique_lock<std::mutex> held(g_heldMutex);
        if (!g_heldChanged.wait_until(held, deadline, [&] { return g_held.count(key) == 0; }))
            return KVTRELAY_E_BUSY;
        g_held.insert(key);
    }
    m_key = key;

    std::string path = JoinPath(repository, contract::kLockFile);
    for (;;) {
        if (m_fd < 0) {
            // A link planted as the lock file would have it created wherever it points.
            struct stat st;
            const fdio::OpenResult opened =
                fdio::OpenRegularFile(path, m_fd, st, writer ? O_RDWR | O_CREAT | O_NOFOLLOW : O_NOFOLLOW);
            if (opened == fdio::OpenResult::NotRegular) {
                AppendRelayLog(repository, path + " is " + fdio::KindOf(st.st_mode) + ", not a regular file: refused");
                Release();
                return KVTRELAY_E_REPOSITORY;
            }
            if (m_fd < 0) {
                if (!writer)
                    return KVTRELAY_S_OK;  // nothing has ever been mirrored here to keep apart from
                Release();
                return KVTRELAY_E_WRITE;
            }
        }
        int err = fdio::LockRecord(m_fd, writer);
        if (err == 0) {
            // A lock file removed or replaced while its holder waited is no lock at all: the
            // next process would make a new one. Go on only with the file at its name.
            struct stat locked, named;
            if (fstat(m_fd, &locked) == 0 && stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
                locked.st_ino == named.st_ino)
                return KVTRELAY_S_OK;
            close(m_fd);
            m_fd = -1;
            continue;
        }
        if (!fdio::LockHeldElsewhere(err)) {
            // No record locks on this file system: the table above keeps this process's
            // threads apart, and other processes are not kept out.
            close(m_fd);
            m_fd = -1;
            return KVTRELAY_S_OK;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kLockRetry);
    }
    Release();
    return KVTRELAY_E_BUSY;
}

void CRepositoryLock::Release()
{
    if (m_fd >= 0) {
        close(m_fd);  // drops the record lock
        m_fd = -1;
    }
    if (m_key.empty())
        return;
    {
        std::lock_guard<std::mutex> held(g_heldMutex);
        g_held.erase(m_key);
    }
    g_heldChanged.notify_all();
    m_key.clear();
}

}  // namespace kvtrelay
