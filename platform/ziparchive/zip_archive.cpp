// Opening and reading archives through libzip. Everything about the format (end records, ZIP64,
// local headers, inflation, CRC) is libzip's; what stays here is which files we open at all and
// how much of an entry we are willing to take.

#include "zip_archive.h"

#include "fd_write.h"
#include "regular_file.h"

#include "zip_api.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ziparchive {

namespace {

// External attributes: the high half holds a Unix mode whenever the maker stored one (Unix,
// and many others that imitate it); the low byte holds the MS-DOS attributes.
constexpr std::uint32_t kDosDirectory = 0x10;
constexpr std::uint32_t kDosReparsePoint = 0x400;  // how Windows marks a link
constexpr size_t kReadBuffer = 64 * 1024;

std::string zipProblem(const ZipApi& z, int code)
{
    switch (code) {
    case ZIP_ER_NOZIP: return "not a ZIP archive";
    case ZIP_ER_INCONS: return "inconsistent archive (its directory and its entries disagree)";
    case ZIP_ER_EXISTS: return "inconsistent archive (two entries of the same name)";
    case ZIP_ER_MULTIDISK: return "multi-part archives are not supported";
    default: {
        zip_error_t error;
        z.errorInitWithCode(&error, code);
        std::string text = std::string("damaged archive: ") + z.errorStrerror(&error);
        z.errorFini(&error);
        return text;
    }
    }
}

Entry describe(const ZipApi& z, zip_t* zip, zip_uint64_t index, const zip_stat_t& st)
{
    Entry e;
    e.index = index;
    e.name = (st.valid & ZIP_STAT_NAME) && st.name ? st.name : "";
    e.size = st.valid & ZIP_STAT_SIZE ? st.size : 0;
    e.compressedSize = st.valid & ZIP_STAT_COMP_SIZE ? st.comp_size : 0;
    e.crc = st.valid & ZIP_STAT_CRC ? st.crc : 0;
    e.method = st.valid & ZIP_STAT_COMP_METHOD ? st.comp_method : 0;
    e.mtime = st.valid & ZIP_STAT_MTIME ? st.mtime : 0;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (z.fileGetExternalAttributes(zip, index, 0, &system, &attributes) == 0) {
        e.system = system;
        e.attributes = attributes;
    }
    const std::uint32_t unixMode = e.attributes >> 16;
    const std::uint32_t dosAttributes = e.attributes & 0xffff;
    e.isDir = (!e.name.empty() && e.name.back() == '/') || (unixMode & S_IFMT) == S_IFDIR ||
              (dosAttributes & kDosDirectory) != 0;
    // Whatever system made the archive: a link could point the next entry anywhere.
    e.isSymlink = (unixMode & S_IFMT) == S_IFLNK || (dosAttributes & kDosReparsePoint) != 0;
    e.mode = unixMode & 0777;
    return e;
}

}  // namespace

CArchive::~CArchive()
{
    if (m_zip)
        m_api->discard(m_zip);  // read-only: nothing to write back
}

namespace {

// Hands fd (a non-empty regular file) to libzip, which checks the directory against the
// entries. Null with reason when it refuses; kind says whether the file or the system did.
zip_t* openZip(const ZipApi& z, int fd, std::string& reason, OpenProblem& kind)
{
    FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        reason = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    // Lua archives hold many small entries side by side: with a larger buffer, the next
    // entry's data is usually read already, and the C library seeks within the buffer.
    ::setvbuf(file, nullptr, _IOFBF, kReadBuffer);
    kind = OpenProblem::Damaged;
    zip_error_t error;
    z.errorInit(&error);
    zip_source_t* source = z.sourceFilepCreate(file, 0, -1, &error);
    zip_t* zip = source ? z.openFromSource(source, ZIP_CHECKCONS | ZIP_RDONLY, &error) : nullptr;
    if (!zip) {
        if (source)
            z.sourceFree(source);  // closes the file
        else
            ::fclose(file);
        reason = zipProblem(z, z.errorCodeZip(&error));
    }
    z.errorFini(&error);
    return zip;
}

// Describes every entry of zip into entries; false with reason when one cannot be read.
bool describeAll(const ZipApi& z, zip_t* zip, std::vector<Entry>& entries, std::string& reason)
{
    const zip_int64_t count = z.getNumEntries(zip, 0);
    entries.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t entry;
        z.statInit(&entry);
        if (z.statIndex(zip, static_cast<zip_uint64_t>(i), 0, &entry) != 0) {
            reason = zipProblem(z, z.errorCodeZip(z.getError(zip)));
            return false;
        }
        entries.push_back(describe(z, zip, static_cast<zip_uint64_t>(i), entry));
    }
    return true;
}

}  // namespace

std::unique_ptr<CArchive> CArchive::Open(const std::string& path, std::string& reason, OpenProblem* problem)
{
    OpenProblem ignored;
    OpenProblem& kind = problem ? *problem : ignored;
    kind = OpenProblem::Unreadable;
    int fd = -1;
    struct stat st;
    const fdio::OpenResult opened = fdio::OpenRegularFile(path, fd, st);
    if (opened == fdio::OpenResult::Failed) {
        reason = std::strerror(errno);
        return nullptr;
    }
    if (opened == fdio::OpenResult::NotRegular) {
        reason = std::string("not a regular file (") + fdio::KindOf(st.st_mode) + ")";
        kind = OpenProblem::NotRegular;
        return nullptr;
    }
    // libzip takes an empty file for an empty archive; an empty file is not an archive.
    if (st.st_size == 0) {
        reason = "not a ZIP archive (empty file)";
        kind = OpenProblem::Damaged;
        ::close(fd);
        return nullptr;
    }
    const ZipApi* api = Zip(reason);
    if (!api) {
        ::close(fd);
        return nullptr;
    }
    zip_t* zip = openZip(*api, fd, reason, kind);
    if (!zip)
        return nullptr;
    std::unique_ptr<CArchive> archive(new CArchive);
    archive->m_api = api;
    archive->m_zip = zip;
    archive->fileSize = st.st_size;
    archive->fileMtime = st.st_mtim;
    if (!describeAll(*api, zip, archive->m_entries, reason)) {
        kind = OpenProblem::Damaged;
        return nullptr;
    }
    kind = OpenProblem::None;
    return archive;
}

namespace {

// Reads the entry in pieces handed to sink, stopping at its declared size: an entry that has
// more to give is damaged, however small it says it is. With advance, each piece goes after
// the one before (buffer then holds the whole entry); otherwise buffer is reused.
template <typename Sink>
Outcome readBounded(const ZipApi& z, zip_t* zip, const Entry& entry, char* buffer, size_t length, bool advance, std::string& reason,
                    Sink sink)
{
    zip_file_t* file = z.fopenIndex(zip, entry.index, 0);
    if (!file) {
        reason = z.strerror(zip);
        return Outcome::Damaged;
    }
    Outcome outcome = Outcome::Ok;
    std::uint64_t left = entry.size;
    while (left > 0) {
        const zip_int64_t n = z.fread(file, buffer, left < length ? left : length);
        if (n < 0) {
            reason = z.fileStrerror(file);
            outcome = Outcome::Damaged;
            break;
        }
        if (n == 0) {
            reason = "shorter than its declared size";
            outcome = Outcome::Damaged;
            break;
        }
        left -= static_cast<std::uint64_t>(n);
        outcome = sink(buffer, static_cast<size_t>(n));
        if (outcome != Outcome::Ok)
            break;
        if (advance) {
            buffer += n;
            length -= static_cast<size_t>(n);
        }
    }
    if (outcome == Outcome::Ok) {
        // One more read must find the end; libzip checks the CRC when it gets there.
        char probe;
        const zip_int64_t n = z.fread(file, &probe, 1);
        if (n < 0) {
            reason = z.fileStrerror(file);
            outcome = Outcome::Damaged;
        } else if (n > 0) {
            reason = "longer than its declared size of " + std::to_string(entry.size) + " bytes";
            outcome = Outcome::Damaged;
        }
    }
    z.fclose(file);
    return outcome;
}

}  // namespace

Outcome CArchive::Read(const Entry& entry, std::string& data, std::string& reason)
{
    data.clear();
    // The declared size decides how much memory is set aside, so it must be believable first:
    // the data lies inside the archive, and deflate makes at most 1032 bytes of one.
    const std::uint64_t plausible = (entry.compressedSize + 1) * 1032;
    if (entry.size > plausible || entry.size >= (1u << 30)) {
        reason = "declared size of " + std::to_string(entry.size) + " bytes is out of range";
        return Outcome::Damaged;
    }
    // Inflated straight into place: one call, then the end check.
    data.resize(static_cast<size_t>(entry.size));
    Outcome outcome =
        readBounded(*m_api, m_zip, entry, &data[0], data.size(), true, reason, [](const char*, size_t) { return Outcome::Ok; });
    if (outcome != Outcome::Ok)
        data.clear();
    return outcome;
}

Outcome CArchive::Copy(const Entry& entry, int fd, char* buffer, size_t length, int& error, std::string& reason)
{
    return readBounded(*m_api, m_zip, entry, buffer, length, false, reason, [&](const char* p, size_t n) {
        if (fdio::WriteAll(fd, p, n))
            return Outcome::Ok;
        error = errno;
        return Outcome::WriteFailed;
    });
}

}  // namespace ziparchive
