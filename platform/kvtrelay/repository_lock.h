#pragma once
/// Keeping operations on one repository apart, between processes and between threads, without
/// a slow writer keeping readers out.

#include <cstdint>
#include <string>

#include "kvtrelay.h"

namespace kvtrelay {

/// Keeps operations on one repository apart with POSIX record locks on two bytes of
/// "<repository>/relay.lock": byte 0 keeps writers apart for a whole run; byte 1 is the state
/// readers read (server.ini and the packages it names), shared by readers and taken by a writer
/// only while it changes what they see. A transferring mirror thus never blocks an export. A
/// table of the repositories this process holds does the same between its threads, because
/// record locks belong to the process and closing any descriptor of the file drops them all;
/// so each process opens the file once. A record lock ends with its holder, so a killed
/// operation never delays a later one, and repositories do not wait for each other.
class CRepositoryLock {
public:
    CRepositoryLock() = default;
    ~CRepositoryLock();
    CRepositoryLock(const CRepositoryLock&) = delete;
    CRepositoryLock& operator=(const CRepositoryLock&) = delete;

    /// Locks the existing repository folder, waiting at most timeoutSeconds: a writer for its
    /// run (creating the lock file), a reader for reading the state (using the lock file when
    /// it is there). Status: S_OK, E_BUSY, E_REPOSITORY (no such folder, or something other
    /// than a regular file as the lock file) or E_WRITE (no lock file).
    int32_t Acquire(const std::string& repository, int timeoutSeconds, bool writer = true);
    /// For a writer: holds the state alone while it changes what readers see (recorded files
    /// removed, server.ini replaced), waiting at most timeoutSeconds for readers. S_OK or E_BUSY.
    int32_t BeginChange(int timeoutSeconds);
    void Release();

    /// The wait limit: KVTRELAY_LOCK_TIMEOUT from the environment (seconds), else 60.
    static int DefaultTimeout();

private:
    int32_t lockFile(const std::string& repository, int timeoutSeconds);

    std::string m_key;  // the folder's device and inode in the process's table; empty when not held
    bool m_writer = false;
    bool m_changing = false;
    bool m_usesFile = false;  // holds a share of the process's descriptor of the lock file
};

}  // namespace kvtrelay
