// Reading the central directory of a ZIP archive (with the ZIP64 end records).

#include "zip_directory.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace VkaCore {

namespace {

constexpr std::uint32_t kCentralMagic = 0x02014b50;
constexpr std::uint32_t kEndMagic = 0x06054b50;
constexpr std::uint32_t kEnd64Magic = 0x06064b50;
constexpr std::uint32_t kEnd64LocatorMagic = 0x07064b50;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kEnd64Size = 56;
constexpr size_t kEnd64LocatorSize = 20;
constexpr size_t kMaxComment = 65535;
// A directory larger than this is not a package we would install.
constexpr std::uint64_t kMaxDirectoryBytes = 256ull * 1024 * 1024;

std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t le64(const unsigned char* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool readAt(int fd, std::uint64_t offset, void* buf, size_t len) {
    char* out = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = ::pread(fd, out, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

} // namespace

bool ReadZipDirectory(int fd, std::vector<ZipDirectoryEntry>& entries, std::string& problem) {
    entries.clear();
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "not a regular file";
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size < kEndSize) {
        problem = "no end of central directory";
        return false;
    }

    // The end record is the last thing in the file, followed only by its comment.
    const std::uint64_t tailLen = size < kEndSize + kMaxComment ? size : kEndSize + kMaxComment;
    std::vector<unsigned char> tail(static_cast<size_t>(tailLen));
    if (!readAt(fd, size - tailLen, tail.data(), tail.size())) {
        problem = "cannot read the end of the file";
        return false;
    }
    long endAt = -1;
    for (long i = static_cast<long>(tailLen - kEndSize); i >= 0; --i) {
        const unsigned char* p = tail.data() + i;
        if (le32(p) == kEndMagic && i + kEndSize + le16(p + 20) <= tailLen) {
            endAt = i;
            break;
        }
    }
    if (endAt < 0) {
        problem = "no end of central directory";
        return false;
    }
    const unsigned char* end = tail.data() + endAt;
    const std::uint64_t endPos = size - tailLen + static_cast<std::uint64_t>(endAt);
    if (le16(end + 4) != 0 || le16(end + 6) != 0) {
        problem = "multi-part archives are not supported";
        return false;
    }
    std::uint64_t count = le16(end + 10);
    std::uint64_t dirSize = le32(end + 12);
    std::uint64_t dirOffset = le32(end + 16);
    std::uint64_t recordsEnd = endPos; // where the central directory must stop

    if (count == 0xFFFF || dirSize == 0xFFFFFFFFu || dirOffset == 0xFFFFFFFFu) {
        unsigned char locator[kEnd64LocatorSize];
        unsigned char end64[kEnd64Size];
        if (endPos < kEnd64LocatorSize || !readAt(fd, endPos - kEnd64LocatorSize, locator, sizeof locator) ||
            le32(locator) != kEnd64LocatorMagic) {
            problem = "ZIP64 end record missing";
            return false;
        }
        std::uint64_t end64Pos = le64(locator + 8);
        if (!readAt(fd, end64Pos, end64, sizeof end64) || le32(end64) != kEnd64Magic) {
            problem = "ZIP64 end record damaged";
            return false;
        }
        count = le64(end64 + 32);
        dirSize = le64(end64 + 40);
        dirOffset = le64(end64 + 48);
        recordsEnd = end64Pos;
    }
    if (dirSize > kMaxDirectoryBytes || dirSize > recordsEnd) {
        problem = "central directory out of range";
        return false;
    }
    // A self-extracting stub in front of the archive shifts every offset; the directory
    // then sits right before the end record rather than where the record says.
    std::uint64_t dirPos = dirOffset;
    unsigned char magic[4];
    if (dirSize > 0 && (dirPos + dirSize > recordsEnd || !readAt(fd, dirPos, magic, 4) ||
                        le32(magic) != kCentralMagic)) {
        dirPos = recordsEnd - dirSize;
        if (!readAt(fd, dirPos, magic, 4) || le32(magic) != kCentralMagic) {
            problem = "central directory not found";
            return false;
        }
    }

    std::vector<unsigned char> dir(static_cast<size_t>(dirSize));
    if (dirSize > 0 && !readAt(fd, dirPos, dir.data(), dir.size())) {
        problem = "central directory truncated";
        return false;
    }
    size_t at = 0;
    while (at < dir.size()) {
        if (dir.size() - at < kCentralSize || le32(&dir[at]) != kCentralMagic) {
            problem = "central directory damaged";
            return false;
        }
        const unsigned char* rec = &dir[at];
        size_t nameLen = le16(rec + 28);
        size_t extraLen = le16(rec + 30);
        size_t commentLen = le16(rec + 32);
        size_t recLen = kCentralSize + nameLen + extraLen + commentLen;
        if (dir.size() - at < recLen) {
            problem = "central directory damaged";
            return false;
        }
        ZipDirectoryEntry entry;
        entry.madeBy = le16(rec + 4);
        entry.externalAttributes = le32(rec + 38);
        entry.name.assign(reinterpret_cast<const char*>(rec + kCentralSize), nameLen);
        entries.push_back(std::move(entry));
        at += recLen;
    }
    if (entries.size() != count) {
        problem = "entry count does not match the central directory";
        return false;
    }
    return true;
}

bool IsSafeZipEntry(const ZipDirectoryEntry& entry) {
    const std::string& name = entry.name;
    if (name.empty() || name.find('\0') != std::string::npos)
        return false;
    if (name[0] == '/' || name[0] == '\\')
        return false;
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        return false;
    // Backslashes count as separators too: an archive made elsewhere may use them.
    size_t start = 0;
    while (start <= name.size()) {
        size_t stop = name.find_first_of("/\\", start);
        if (stop == std::string::npos)
            stop = name.size();
        if (stop - start == 2 && name.compare(start, 2, "..") == 0)
            return false;
        start = stop + 1;
    }
    // The file type sits in the high half of the external attributes for archives made on
    // Unix; a link could point the next entry anywhere.
    const std::uint32_t unixMode = entry.externalAttributes >> 16;
    if ((unixMode & 0170000) == 0120000)
        return false;
    return true;
}

} // namespace VkaCore
