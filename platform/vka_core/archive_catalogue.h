#pragma once
// The catalogue of a Lua archive (its entries by name), read once, and the reading of one
// entry on demand.

#include "zip_archive.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace VkaCore {

/// One entry of a Lua archive, as the archive's directory describes it.
typedef ziparchive::Entry ArchiveEntry;

/// The entries of one archive by name, with the file identity it was read from. It keeps the
/// archive open, so reading an entry costs no open or close.
class CArchiveCatalogue {
public:
    CArchiveCatalogue() = default;
    CArchiveCatalogue(const CArchiveCatalogue&) = delete;
    CArchiveCatalogue& operator=(const CArchiveCatalogue&) = delete;

    /// Opens path and lists its entries. Null with reason set when the file is missing,
    /// unreadable, not a regular file, not a well-formed ZIP archive, or holds an entry that
    /// the safety rule refuses (the same archive would not be unpacked either).
    static std::shared_ptr<const CArchiveCatalogue> Read(const std::string& path, std::string& reason);

    const ArchiveEntry* Find(const std::string& name) const;
    /// Reads and checks (size, CRC) the data of entry into data; false with reason otherwise.
    /// Safe to call from several threads.
    bool ReadEntry(const ArchiveEntry& entry, std::string& data, std::string& reason) const;

    const std::string& Path() const { return m_path; }

    // File identity when read: a change of either means the catalogue is stale.
    off_t fileSize = 0;
    struct timespec fileMtime = {0, 0};

private:
    std::string m_path;
    std::unique_ptr<ziparchive::CArchive> m_archive;
    mutable std::mutex m_readMutex;  // libzip reads through one file position
    std::unordered_map<std::string, const ArchiveEntry*> m_entries;
};

/// The catalogue of path from the process-wide cache, re-read when the file changed.
/// Null when the archive cannot be used; the first failure of each archive is logged as a
/// warning, repeats are not (until the archive has been readable again).
std::shared_ptr<const CArchiveCatalogue> CachedArchiveCatalogue(const std::string& path);

}  // namespace VkaCore
