#pragma once
/// Keeping operations on one repository apart, between processes and between threads.

#include <cstdint>
#include <string>

#include "kvtrelay.h"

namespace kvtrelay {

/// Keeps operations on one repository apart: a POSIX record lock on "<repository>/relay.lock",
/// plus a table of the repositories this process holds, because record locks belong to the
/// process and do not keep its own threads apart. A record lock ends with its holder, so a
/// killed operation never delays a later one, and repositories do not wait for each other.
class CRepositoryLock {
public:
    CRepositoryLock() = default;
    ~CRepositoryLock();
    CRepositoryLock(const CRepositoryLock&) = delete;
    CRepositoryLock& operator=(const CRepositoryLock&) = delete;

    /// Locks the existing repository folder, waiting at most timeoutSeconds. A writer creates
    /// the lock file; a reader (shared with readers of other processes) uses it when it is
    /// there. Status: S_OK, E_BUSY, E_REPOSITORY (no such folder) or E_WRITE (no lock file).
    int32_t Acquire(const std::string& repository, int timeoutSeconds, bool writer = true);
    void Release();

    /// The wait limit: KVTRELAY_LOCK_TIMEOUT from the environment (seconds), else 60.
    static int DefaultTimeout();

private:
    int m_fd = -1;
    std::string m_key;  // the folder's device and inode in the process's table; empty when not held
};

}  // namespace kvtrelay
