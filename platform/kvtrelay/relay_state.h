#pragma once
// The relay's own record of its package files beside server.ini: which it verified, as the file
// system described them then, and which it pruned but keeps for readers of the previous index.

#include <cstdint>
#include <map>
#include <string>
#include <sys/stat.h>

namespace kvtrelay {

/// What the relay last saw of a package file whose digest it checked.
struct VerifiedStamp {
    uint64_t size = 0;
    uint64_t device = 0, inode = 0;
    int64_t mtimeSec = 0, mtimeNsec = 0;
    int64_t ctimeSec = 0, ctimeNsec = 0;
    std::string sha256;
};

/// The file "relay.state" of a repository. A missing or unreadable one is an empty record:
/// every package is hashed again, and nothing pruned earlier is known.
class CRelayState {
public:
    explicit CRelayState(const std::string& root) : m_root(root) {}

    /// Reads the record; lines it does not understand are dropped.
    void Load();
    /// Writes the record through a temporary file. Returns 0 or errno.
    int Save() const;

    /// True when the file was verified with this digest and the file system still describes it
    /// as it did then: size, device, inode, modification and change times all equal.
    bool Trusted(const std::string& file, const std::string& sha256, const struct stat& st) const;
    /// Records that the file, as st describes it, has this digest.
    void Verified(const std::string& file, const std::string& sha256, const struct stat& st);
    /// Drops what was recorded of the file: it is hashed before it is trusted again.
    void Forget(const std::string& file) { m_verified.erase(file); }
    /// Verified file names and what was recorded of each.
    const std::map<std::string, VerifiedStamp>& VerifiedFiles() const { return m_verified; }

    /// Files taken off server.ini and index.txt, to be deleted by a later run.
    /// Notes a file taken off the record, to be deleted by a later run.
    void Prune(const std::string& file, uint64_t size) { m_pruned[file] = size; }
    /// Takes the note back: the file is held again, or gone.
    void Unprune(const std::string& file) { m_pruned.erase(file); }
    /// Pruned file names and their sizes.
    const std::map<std::string, uint64_t>& PrunedFiles() const { return m_pruned; }

private:
    std::string m_root;
    std::map<std::string, VerifiedStamp> m_verified;
    std::map<std::string, uint64_t> m_pruned;
};

}  // namespace kvtrelay
