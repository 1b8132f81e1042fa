#pragma once
// The central directory of a ZIP archive as stored, read without the framework so that
// entry names can be checked exactly as the archive spells them.

#include <cstdint>
#include <string>
#include <vector>

namespace VkaCore {

/// One central-directory record: the name as stored and the attributes that decide safety.
struct ZipDirectoryEntry {
    std::string name;
    unsigned madeBy = 0;            // high byte: the system that made the entry
    std::uint32_t externalAttributes = 0;
};

/// Reads every central-directory record of the archive open on fd (read with pread, the
/// file offset is left alone). False with a reason when the directory is missing,
/// truncated or inconsistent.
bool ReadZipDirectory(int fd, std::vector<ZipDirectoryEntry>& entries, std::string& problem);

/// False for an entry that would land outside the target folder: an absolute name, a
/// drive letter, a ".." component, an empty name, or a symbolic link.
bool IsSafeZipEntry(const ZipDirectoryEntry& entry);

} // namespace VkaCore
