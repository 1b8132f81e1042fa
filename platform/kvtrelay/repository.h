#pragma once
/// The local repository: server.ini (what the repository holds) and the packages folder.

#include <cstdint>
#include <string>
#include <vector>

#include "kvtrelay.h"

namespace kvtrelay {

/// One package the repository holds.
struct RepositoryEntry {
    KVTRELAY_EntityItem entity;
    std::string file;  ///< name inside packages/
    uint64_t size = 0;
    std::string sha256;
};

/// A product and the components last mirrored for it.
struct RepositoryProduct {
    std::string id;
    std::vector<std::string> components;
};

class CRepository {
public:
    explicit CRepository(const std::string& root) : m_root(root) {}

    const std::string& Root() const { return m_root; }
    std::string PackagesFolder() const;
    std::string ServerFile() const;
    std::string PackagePath(const std::string& file) const;

    /// Reads server.ini; a missing file is an empty repository. Lines the relay did not write
    /// are kept and written back. False when the file exists and cannot be read.
    bool Load();
    /// Writes server.ini through a temporary file renamed into place. Returns 0 or errno.
    int Save() const;

    std::vector<RepositoryEntry>& Entries() { return m_entries; }
    const std::vector<RepositoryEntry>& Entries() const { return m_entries; }

    /// The entry with exactly this entity (version included), or null.
    RepositoryEntry* Find(const KVTRELAY_EntityItem& entity);
    /// Adds or replaces the entry for its entity.
    void Put(const RepositoryEntry& entry);
    /// Removes the entry for the entity and its id from every product.
    void Remove(const KVTRELAY_EntityItem& entity);
    /// Records which components a product was last mirrored with.
    void SetProduct(const std::string& id, const std::vector<std::string>& components);
    const std::vector<RepositoryProduct>& Products() const { return m_products; }

    /// The package file name of a component: its identifier and ".zip", which is long enough
    /// and shaped so that the repository clean-up of the agent recognises it.
    static std::string PackageName(const KVTRELAY_EntityItem& entity);

private:
    struct ForeignSection {
        std::string header;
        std::vector<std::string> lines;
    };

    std::string m_root;
    std::vector<RepositoryEntry> m_entries;
    std::vector<RepositoryProduct> m_products;
    std::vector<std::string> m_preamble;
    std::vector<std::string> m_foreignPattern, m_foreignEngine, m_foreignProduct;
    std::vector<ForeignSection> m_foreignSections;
};

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

/// Name of the lock file in the repository folder.
extern const char* const kLockFile;
/// Name of the relay's log in the repository folder, and of the one it was rotated to.
extern const char* const kRelayLog;
extern const char* const kRelayLogOld;
/// relay.log is rotated before a line would take it to this size.
const uint64_t kRelayLogLimit = 1 << 20;

/// Appends "<UTC time stamp> <line>" to <repository>/relay.log when the repository folder
/// exists (it is never created for the log). Control characters become blanks. Failures to
/// write are ignored: the log never fails an operation.
void AppendRelayLog(const std::string& repository, const std::string& line);

/// Removes "<name>.<pid>.part" files in folder left by processes that no longer run (the form
/// used before downloads could be resumed).
void RemoveStaleParts(const std::string& folder);

/// The name a download of file is written under until it is complete; it stays after a failed
/// or interrupted transfer so that the next run can go on from its bytes.
std::string PartName(const std::string& file);

}  // namespace kvtrelay
