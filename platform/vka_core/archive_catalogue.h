#pragma once
// The catalogue of a ZIP archive (its central directory), read once, and the reading of one
// entry straight from its offset.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>

namespace VkaCore {

/// Where one entry lies in its archive, as the central directory tells.
struct ArchiveEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint64_t localHeaderOffset = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;  // of the central record; the local one is usually the same
};

/// The entries of one archive by name, with the file identity it was read from. It keeps the
/// archive open (read-only, close-on-exec), so reading an entry costs no open or close.
class CArchiveCatalogue {
public:
    CArchiveCatalogue() = default;
    ~CArchiveCatalogue();
    CArchiveCatalogue(const CArchiveCatalogue&) = delete;
    CArchiveCatalogue& operator=(const CArchiveCatalogue&) = delete;

    /// Reads the central directory of path. Null with reason set when the file is missing,
    /// unreadable or not a well-formed ZIP archive.
    static std::shared_ptr<const CArchiveCatalogue> Read(const std::string& path, std::string& reason);

    const ArchiveEntry* Find(const std::string& name) const;
    /// Reads and checks (size, CRC) the data of entry into data; false with reason otherwise.
    bool ReadEntry(const ArchiveEntry& entry, std::string& data, std::string& reason) const;

    const std::string& Path() const { return m_path; }
    size_t Count() const { return m_entries.size(); }

    // File identity when read: a change of either means the catalogue is stale.
    off_t fileSize = 0;
    struct timespec fileMtime = {0, 0};

private:
    std::string m_path;
    int m_fd = -1;
    std::unordered_map<std::string, ArchiveEntry> m_entries;
};

/// The catalogue of path from the process-wide cache, re-read when the file changed.
/// Null when the archive cannot be used; the first failure of each archive is logged as a
/// warning, repeats are not (until the archive has been readable again).
std::shared_ptr<const CArchiveCatalogue> CachedArchiveCatalogue(const std::string& path);

} // namespace VkaCore
