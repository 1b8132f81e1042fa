#pragma once
/// The one reader of ZIP archives in the tree (over libzip), and the one rule that decides which
/// entry names may be written or deleted below a folder. The core library's unzip and module
/// searcher and the relay's export all go through it, so what is checked is what is written.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

typedef struct zip zip_t;

namespace ziparchive {

struct ZipApi;  // libzip reached one way or the other (zip_api.h)

/// One entry as the archive's directory describes it.
struct Entry {
    std::string name;  ///< as stored ("/" separated; folders end in "/")
    std::uint64_t index = 0;
    std::uint64_t size = 0;  ///< declared uncompressed size
    std::uint64_t compressedSize = 0;
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::time_t mtime = 0;         ///< 0 when unknown
    std::uint8_t system = 0;       ///< the system that made the entry (high byte of "version made by")
    std::uint32_t attributes = 0;  ///< external attributes
    bool isDir = false;
    bool isSymlink = false;  ///< a link, whatever system made the archive
    unsigned mode = 0;       ///< permission bits; 0 when the archive does not say
};

/// Why an archive could not be opened.
enum class OpenProblem { None, Unreadable, NotRegular, Damaged };

/// What reading or writing one entry came to.
enum class Outcome { Ok, Damaged, WriteFailed };

/// An archive opened once for reading: its entry list, and the data of any entry on demand.
/// Not thread-safe; callers that share one serialise their reads.
class CArchive {
public:
    ~CArchive();
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    /// Opens path without blocking on anything but a regular file, and reads its directory with
    /// libzip's consistency checks (local headers must agree with the central directory). Null
    /// with reason when it is not a regular file, is not a ZIP archive or is inconsistent.
    static std::unique_ptr<CArchive> Open(const std::string& path, std::string& reason, OpenProblem* problem = nullptr);

    const std::vector<Entry>& Entries() const { return m_entries; }

    /// Reads the whole entry into data, never more than its declared size, with its CRC
    /// checked. Damaged with reason otherwise.
    Outcome Read(const Entry& entry, std::string& data, std::string& reason);

    /// Streams the entry to fd through buffer, never more than its declared size. WriteFailed
    /// with error (errno) when fd refuses data, Damaged with reason when the archive does.
    Outcome Copy(const Entry& entry, int fd, char* buffer, size_t length, int& error, std::string& reason);

    off_t fileSize = 0;  ///< file identity when opened
    struct timespec fileMtime = {0, 0};

private:
    CArchive() = default;
    const ZipApi* m_api = nullptr;
    zip_t* m_zip = nullptr;
    std::vector<Entry> m_entries;
};

/// The safety rule for a name that will be written or deleted below a folder. Refused:
/// empty names and names that lead nowhere below the folder, absolute names, drive letters,
/// ".." components, any backslash (never a separator, never part of a name we write),
/// symbolic links, and names of PATH_MAX bytes or more. Empty when the entry may be written;
/// otherwise why not.
std::string RefusalReason(const Entry& entry);

/// The first entry the rule refuses, with the rule's reason; null when all pass.
const Entry* FirstRefused(const std::vector<Entry>& entries, std::string& reason);

/// name as a message shows it: cut short, with its length, when it is very long.
std::string ShownName(const std::string& name);

/// Space the process may still use in folder's file system; false with error (errno).
bool FreeSpace(const std::string& folder, std::uint64_t& available, int& error);

/// Writes a file entry to target: data into a temporary beside it, permissions and time stamp
/// set, then renamed over target. On any failure the temporary goes and target is untouched.
/// The first write into each folder sweeps the temporaries of writers that are gone.
class CFileWriter {
public:
    CFileWriter();
    Outcome Write(CArchive& archive, const Entry& entry, const std::string& target, int& error, std::string& reason);

private:
    std::unique_ptr<char[]> m_buffer;
    std::set<std::string> m_swept;
};

/// Deletes the temporaries in folder that were left by processes which no longer run.
void RemoveStaleTemporaries(const std::string& folder);

/// The folder part of path ("." when there is none).
std::string ParentOf(const std::string& path);

}  // namespace ziparchive
