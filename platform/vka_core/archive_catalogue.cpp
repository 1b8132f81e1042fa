// Reads a ZIP archive's central directory once and then each entry straight from its offset,
// so loading many modules from one archive costs one directory parse, not one per module.

#include "archive_catalogue.h"

#include <wx/log.h>

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VkaCore {

namespace {

constexpr uint32_t kEndOfDirSig = 0x06054b50;
constexpr uint32_t kZip64LocatorSig = 0x07064b50;
constexpr uint32_t kZip64EndOfDirSig = 0x06064b50;
constexpr uint32_t kDirEntrySig = 0x02014b50;
constexpr uint32_t kLocalHeaderSig = 0x04034b50;
constexpr size_t kEndOfDirSize = 22;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndOfDirSize = 56;
constexpr size_t kDirEntrySize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxCommentSize = 0xffff;
// A Lua module far larger than this is a damaged size field, not code.
constexpr uint64_t kMaxEntrySize = 256u * 1024u * 1024u;
// Deflate's best case: one bit each for a length and a distance code gives 258 bytes.
constexpr uint64_t kMaxDeflateRatio = 1032;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t le64(const unsigned char* p) {
    return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

// Closes the descriptor on every path unless it was released.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Reads exactly len bytes at offset; false on a short read or an error (errno kept).
bool readAt(int fd, void* buf, size_t len, uint64_t offset) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = ::pread(fd, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = 0;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

std::string sysError(int err, const char* what) {
    if (err == 0)
        return what;
    return std::string(what) + ": " + std::strerror(err);
}

bool inflateRaw(const char* in, size_t inSize, std::string& out, size_t size) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)  // raw deflate: ZIP entries carry no zlib header
        return false;
    out.resize(size);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    zs.avail_in = static_cast<uInt>(inSize);
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(size);
    // One call inflates everything: the output buffer already has the full size.
    int rc = inflate(&zs, Z_FINISH);
    bool ok = rc == Z_STREAM_END && zs.total_out == size;
    inflateEnd(&zs);
    return ok;
}

} // namespace

std::shared_ptr<const CArchiveCatalogue> CArchiveCatalogue::Read(const std::string& path, std::string& reason) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return nullptr;
    }
    uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (fileSize < kEndOfDirSize) {
        reason = "not a ZIP archive (too short)";
        return nullptr;
    }

    // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
    size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fileSize, kEndOfDirSize + kMaxCommentSize));
    uint64_t tailStart = fileSize - tailSize;
    std::vector<unsigned char> tail(tailSize);
    if (!readAt(fd.get(), tail.data(), tailSize, tailStart)) {
        reason = sysError(errno, "cannot read the end of the archive");
        return nullptr;
    }
    // Search backwards; a signature inside the comment is rejected by the length check.
    long found = -1;
    for (long i = static_cast<long>(tailSize - kEndOfDirSize); i >= 0; --i) {
        const unsigned char* p = tail.data() + i;
        if (le32(p) == kEndOfDirSig && i + kEndOfDirSize + le16(p + 20) <= tailSize) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        reason = "not a ZIP archive (no end of central directory)";
        return nullptr;
    }
    const unsigned char* eocd = tail.data() + found;
    uint64_t eocdOffset = tailStart + static_cast<uint64_t>(found);
    uint64_t entryCount = le16(eocd + 10);
    uint64_t dirSize = le32(eocd + 12);
    uint64_t dirOffset = le32(eocd + 16);
    if (le16(eocd + 4) != 0 || le16(eocd + 6) != 0) {
        reason = "multi-part archives are not supported";
        return nullptr;
    }

    // Archives past 4 GiB or 65535 entries keep the real numbers in the ZIP64 end record.
    if ((entryCount == 0xffff || dirSize == 0xffffffff || dirOffset == 0xffffffff) &&
        eocdOffset >= kZip64LocatorSize) {
        unsigned char loc[kZip64LocatorSize];
        if (readAt(fd.get(), loc, sizeof loc, eocdOffset - kZip64LocatorSize) && le32(loc) == kZip64LocatorSig) {
            uint64_t recOffset = le64(loc + 8);
            unsigned char rec[kZip64EndOfDirSize];
            if (recOffset + kZip64EndOfDirSize > fileSize || !readAt(fd.get(), rec, sizeof rec, recOffset) ||
                le32(rec) != kZip64EndOfDirSig) {
                reason = "damaged ZIP64 end of central directory";
                return nullptr;
            }
            entryCount = le64(rec + 32);
            dirSize = le64(rec + 40);
            dirOffset = le64(rec + 48);
        }
    }

    if (dirOffset > fileSize || dirSize > fileSize - dirOffset || entryCount > dirSize / kDirEntrySize) {
        reason = "damaged central directory (bad size or offset)";
        return nullptr;
    }
    std::vector<unsigned char> dir(static_cast<size_t>(dirSize));
    if (dirSize > 0 && !readAt(fd.get(), dir.data(), dir.size(), dirOffset)) {
        reason = sysError(errno, "cannot read the central directory");
        return nullptr;
    }

    auto catalogue = std::make_shared<CArchiveCatalogue>();
    catalogue->m_path = path;
    catalogue->fileSize = st.st_size;
    catalogue->fileMtime = st.st_mtim;
    catalogue->m_entries.reserve(static_cast<size_t>(entryCount));
    size_t pos = 0;
    for (uint64_t n = 0; n < entryCount; ++n) {
        if (pos + kDirEntrySize > dir.size() || le32(&dir[pos]) != kDirEntrySig) {
            reason = "damaged central directory (bad entry header)";
            return nullptr;
        }
        const unsigned char* p = &dir[pos];
        size_t nameLen = le16(p + 28), extraLen = le16(p + 30), commentLen = le16(p + 32);
        if (pos + kDirEntrySize + nameLen + extraLen + commentLen > dir.size()) {
            reason = "damaged central directory (entry overruns it)";
            return nullptr;
        }
        ArchiveEntry e;
        e.flags = le16(p + 8);
        e.method = le16(p + 10);
        e.crc = le32(p + 16);
        e.compressedSize = le32(p + 20);
        e.size = le32(p + 24);
        e.localHeaderOffset = le32(p + 42);
        e.nameLength = static_cast<uint16_t>(nameLen);
        e.extraLength = static_cast<uint16_t>(extraLen);
        std::string name(reinterpret_cast<const char*>(p + kDirEntrySize), nameLen);
        // ZIP64 extra field: the 64-bit values appear in order for each field that is saturated.
        const unsigned char* extra = p + kDirEntrySize + nameLen;
        for (size_t x = 0; x + 4 <= extraLen;) {
            uint16_t id = le16(extra + x), len = le16(extra + x + 2);
            if (x + 4 + len > extraLen)
                break;
            if (id == 0x0001) {
                const unsigned char* v = extra + x + 4;
                size_t left = len;
                auto take = [&](uint64_t& field) {
                    if (field == 0xffffffff && left >= 8) {
                        field = le64(v);
                        v += 8;
                        left -= 8;
                    }
                };
                take(e.size);
                take(e.compressedSize);
                take(e.localHeaderOffset);
            }
            x += 4 + len;
        }
        pos += kDirEntrySize + nameLen + extraLen + commentLen;
        if (name.empty() || name.back() == '/')
            continue;  // folders hold no code
        if (e.localHeaderOffset >= fileSize) {
            reason = "damaged central directory (entry '" + name + "' lies past the end)";
            return nullptr;
        }
        // The first entry of a name wins, as with unzip tools that read in directory order.
        catalogue->m_entries.emplace(std::move(name), e);
    }
    catalogue->m_fd = fd.release();
    return catalogue;
}

CArchiveCatalogue::~CArchiveCatalogue() {
    if (m_fd >= 0)
        ::close(m_fd);
}

const ArchiveEntry* CArchiveCatalogue::Find(const std::string& name) const {
    auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : &it->second;
}

bool CArchiveCatalogue::ReadEntry(const ArchiveEntry& entry, std::string& data, std::string& reason) const {
    if (entry.flags & 0x0001) {
        reason = "entry is encrypted";
        return false;
    }
    if (entry.method != 0 && entry.method != 8) {
        reason = "unsupported compression method " + std::to_string(entry.method);
        return false;
    }
    if (entry.size > kMaxEntrySize || entry.compressedSize > kMaxEntrySize) {
        reason = "entry size out of range";
        return false;
    }
    // The sizes decide how much memory is set aside, so they must be believable first: the
    // data lies inside the archive, and deflate makes at most 1032 bytes of one.
    const uint64_t archiveSize = static_cast<uint64_t>(fileSize);
    if (entry.localHeaderOffset >= archiveSize || entry.compressedSize > archiveSize - entry.localHeaderOffset ||
        (entry.method == 8 && entry.size > (entry.compressedSize + 1) * kMaxDeflateRatio)) {
        reason = "entry size out of range";
        return false;
    }
    // One read normally fetches the local header and the data together: the local header
    // repeats the name and usually the central extra field. Its own lengths decide where the
    // data starts; when they differ, the data is read again from the right place.
    uint64_t guess = kLocalHeaderSize + entry.nameLength + entry.extraLength;
    std::string buffer(static_cast<size_t>(guess + entry.compressedSize), '\0');
    if (!readAt(m_fd, &buffer[0], buffer.size(), entry.localHeaderOffset) ||
        le32(reinterpret_cast<const unsigned char*>(buffer.data())) != kLocalHeaderSig) {
        // A short read is fine here only if the header itself arrived; recheck plainly.
        unsigned char local[kLocalHeaderSize];
        if (!readAt(m_fd, local, sizeof local, entry.localHeaderOffset) || le32(local) != kLocalHeaderSig) {
            reason = "damaged local header";
            return false;
        }
        buffer.assign(reinterpret_cast<const char*>(local), sizeof local);
    }
    const unsigned char* local = reinterpret_cast<const unsigned char*>(buffer.data());
    uint64_t dataStart = kLocalHeaderSize + le16(local + 26) + le16(local + 28);
    const char* compressed = nullptr;
    size_t compressedSize = static_cast<size_t>(entry.compressedSize);
    std::string raw;
    if (dataStart == guess && buffer.size() == guess + entry.compressedSize) {
        compressed = buffer.data() + guess;
    } else {
        raw.assign(compressedSize, '\0');
        if (!raw.empty() && !readAt(m_fd, &raw[0], raw.size(), entry.localHeaderOffset + dataStart)) {
            reason = "entry data truncated";
            return false;
        }
        compressed = raw.data();
    }
    if (entry.method == 0) {
        if (entry.compressedSize != entry.size) {
            reason = "stored entry sizes disagree";
            return false;
        }
        data.assign(compressed, compressedSize);
    } else if (!inflateRaw(compressed, compressedSize, data, static_cast<size_t>(entry.size))) {
        reason = "damaged compressed data";
        return false;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    if (crc != entry.crc) {
        reason = "CRC mismatch";
        return false;
    }
    return true;
}

namespace {

// One slot per archive path; a failed archive keeps its identity so that only a change of the
// file (or its reappearance) makes us try, and warn, again.
struct CacheSlot {
    std::shared_ptr<const CArchiveCatalogue> catalogue;
    bool failed = false;
    bool exists = false;
    off_t size = 0;
    struct timespec mtime = {0, 0};
};

std::mutex g_cacheMutex;
std::map<std::string, CacheSlot> g_cache;

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

std::shared_ptr<const CArchiveCatalogue> CachedArchiveCatalogue(const std::string& path) {
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    int statErrno = errno;

    std::lock_guard<std::mutex> lock(g_cacheMutex);
    CacheSlot& slot = g_cache[path];
    if (slot.catalogue && exists && slot.size == st.st_size && sameTime(slot.mtime, st.st_mtim))
        return slot.catalogue;
    if (slot.failed && slot.exists == exists &&
        (!exists || (slot.size == st.st_size && sameTime(slot.mtime, st.st_mtim))))
        return nullptr;  // same broken file as last time: already warned

    std::string reason;
    std::shared_ptr<const CArchiveCatalogue> catalogue;
    if (exists)
        catalogue = CArchiveCatalogue::Read(path, reason);
    else
        reason = std::strerror(statErrno);

    if (catalogue) {
        slot.catalogue = catalogue;
        slot.failed = false;
        slot.exists = true;
        slot.size = catalogue->fileSize;
        slot.mtime = catalogue->fileMtime;
        return catalogue;
    }
    bool warnedAlready = slot.failed;
    slot.catalogue.reset();
    slot.failed = true;
    slot.exists = exists;
    slot.size = exists ? st.st_size : 0;
    slot.mtime = exists ? st.st_mtim : timespec{0, 0};
    // A broken archive that changes but stays broken is still the same problem: warn once.
    if (!warnedAlready)
        wxLogWarning("Lua archive '%s' skipped: %s", wxString::FromUTF8(path.c_str()),
                     wxString::FromUTF8(reason.c_str()));
    return nullptr;
}

} // namespace VkaCore
