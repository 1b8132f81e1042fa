// Fetching one package: the resumable part file, hashed as it fills, checked, renamed into place.

#include "package_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd_copy.h"
#include "fd_write.h"
#include "file_paths.h"
#include "regular_file.h"
#include "relay_contract.h"
#include "zip_archive.h"

namespace kvtrelay {

namespace {

// Network reads arrive in small pieces; they are written out in pieces of this size.
const size_t kGatherSize = 256 * 1024;
// Progress is reported after at least this many new bytes, or this long after the last report
// once new bytes have come, so that a handler can stop a slow transfer; and once at the end.
const uint64_t kProgressStep = 256 * 1024;
const auto kProgressInterval = std::chrono::seconds(1);
// Digests in messages are cut to this many hex digits.
const size_t kDigestShown = 16;

std::string shortDigest(const std::string& hex)
{
    return hex.size() > kDigestShown ? hex.substr(0, kDigestShown) + "..." : hex;
}

bool pidAlive(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

std::string PartName(const std::string& file)
{
    return file + contract::kPartSuffix;
}

void RemoveStaleParts(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        const std::string suffix = contract::kPartSuffix;
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string stem = name.substr(0, name.size() - suffix.size());
        size_t dot = stem.rfind('.');
        if (dot == std::string::npos)
            continue;
        std::string pid = stem.substr(dot + 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        long value = strtol(pid.c_str(), nullptr, 10);
        if (value == static_cast<long>(getpid()) || !pidAlive(value))
            unlink(JoinPath(folder, name).c_str());
    }
    closedir(dir);
}

CPackageDownload::CPackageDownload(KVTRELAY_Context& context, CTransport& transport, DownloadScratch& scratch,
                                   const IndexComponent& component, const std::string& finalPath,
                                   const std::string& name)
    : m_context(context), m_transport(transport), m_hasher(scratch.hasher), m_gather(scratch.gather),
      m_later(scratch.laterBytes), m_component(component), m_final(finalPath), m_name(name)
{}

CPackageDownload::~CPackageDownload()
{
    m_hasher.Finish();  // the worker may still be adding to m_sha
    if (m_fd >= 0)
        close(m_fd);
}

int32_t CPackageDownload::Run()
{
    std::string part = m_final.substr(0, m_final.rfind('/') + 1) + PartName(m_name);
    // The part file is resumed, so it may exist; but never through a link, and never a FIFO
    // or a device: the package's bytes go nowhere else.
    struct stat st;
    const fdio::OpenResult opened = fdio::OpenRegularFile(part, m_fd, st, O_RDWR | O_CREAT | O_NOFOLLOW);
    if (opened == fdio::OpenResult::NotRegular) {
        m_reason = part + ": " + fdio::KindOf(st.st_mode) + ", not a regular file: refused";
        return KVTRELAY_E_WRITE;
    }
    if (m_fd < 0) {
        m_reason = part + ": " + strerror(errno);
        return KVTRELAY_E_WRITE;
    }
    int32_t status = KVTRELAY_E_WRITE;
    bool keep = false;
    // A second pass, from byte 0, only when the bytes already there were no good start.
    for (int pass = 0; pass < 2; ++pass) {
        bool retry = false;
        status = transfer(pass == 0, retry, keep);
        if (!retry)
            break;
    }
    if (close(m_fd) != 0 && status > 0) {
        m_reason = part + ": " + strerror(errno);
        status = KVTRELAY_E_WRITE;
    }
    m_fd = -1;
    if (status > 0 && rename(part.c_str(), m_final.c_str()) != 0) {
        m_reason = m_final + ": " + strerror(errno);
        status = KVTRELAY_E_WRITE;
    }
    if (status <= 0 && !keep)
        unlink(part.c_str());
    return status;
}

// Starts the part file over, or goes on after its bytes (hashing them first). False when
// it cannot be read or cut.
bool CPackageDownload::prepare(bool resume)
{
    m_hasher.Finish();
    m_sha.reset(new (std::nothrow) CSha256);
    m_received = m_reported = m_start = m_written = 0;
    m_gather.clear();
    struct stat st;
    if (fstat(m_fd, &st) != 0)
        return false;
    uint64_t have = static_cast<uint64_t>(st.st_size);
    if (!resume || have > m_component.size)
        have = 0;
    if (have > 0 && m_sha && m_sha->IsValid()) {
        m_hasher.Begin(*m_sha, m_fd, 0);
        m_hasher.Advance(have);
        if (!m_hasher.Finish()) {
            have = 0;
            m_sha.reset(new (std::nothrow) CSha256);
        }
    }
    if (have == 0 && ftruncate(m_fd, 0) != 0)
        return false;
    if (lseek(m_fd, static_cast<off_t>(have), SEEK_SET) != static_cast<off_t>(have))
        return false;
    m_received = m_reported = m_start = m_written = have;
    m_lastProgress = std::chrono::steady_clock::now();
    if (m_sha)
        m_hasher.Begin(*m_sha, m_fd, have);
    return true;
}

// One pass over the package: set up, fetch what is missing, judge what arrived. `retry` asks for
// a second pass from byte 0; `keep` keeps the part file of a failed pass for the next run.
int32_t CPackageDownload::transfer(bool resume, bool& retry, bool& keep)
{
    retry = keep = false;
    int32_t status = begin(resume);
    if (status <= 0)
        return status;
    if (m_start < m_component.size) {
        bool stopped = false;
        const CopySink copy = [this](int fd, size_t len) { return copyFrom(fd, len); };
        status = m_transport.Fetch(
            m_component.package, [this](const char* data, size_t size) { return accept(data, size); }, stopped, m_start,
            m_component.size, &copy);
    }
    flush();  // a failure sets m_writeFailed or m_cancelled
    bool hashed = m_hasher.Finish();
    int hashErrno = errno;
    status = judgeTransfer(status, hashed, hashErrno, retry, keep);
    return status > 0 ? verify(retry) : status;
}

// Prepares the part file and checks that the rest of the package fits.
int32_t CPackageDownload::begin(bool resume)
{
    const uint64_t total = m_component.size;
    if (!prepare(resume)) {
        m_reason = std::string("part file: ") + strerror(errno);
        return KVTRELAY_E_WRITE;
    }
    if (!m_sha || !m_sha->IsValid())
        return KVTRELAY_E_NOMEMORY;
    if (resume && !m_context.Emit(KVTRELAY_EVENT_DOWNLOADBEGIN, m_name, total, 0))
        return KVTRELAY_E_CANCELLED;
    // Room first: a source that declares more than fits fails at once, not when full; and
    // room for this package alone is not enough when the run's later ones fill the disk.
    uint64_t room = 0;
    int spaceError = 0;
    const uint64_t needed = total - m_start + m_later;
    if (ziparchive::FreeSpace(m_final.substr(0, m_final.rfind('/') + 1), room, spaceError) && room < needed) {
        m_reason = "needs " + std::to_string(needed) + " bytes, the repository's file system has " +
                   std::to_string(room) + " bytes free";
        return KVTRELAY_E_WRITE;
    }
    return KVTRELAY_S_OK;
}

// The status of a transfer from what the sinks and the hashing thread saw; the first failure in
// this order names the reason.
int32_t CPackageDownload::judgeTransfer(int32_t status, bool hashed, int hashErrno, bool& retry, bool& keep)
{
    if (m_cancelled)
        return KVTRELAY_E_CANCELLED;
    if (m_writeFailed) {
        m_reason = std::string("writing the part file: ") + strerror(m_writeErrno);
        return KVTRELAY_E_WRITE;
    }
    if (m_noMemory)
        return KVTRELAY_E_NOMEMORY;
    if (m_readFailed) {
        m_reason = "reading " + m_transport.Location(m_component.package) + ": " + strerror(m_readErrno);
        keep = m_received > 0;
        return KVTRELAY_E_DOWNLOAD;
    }
    if (m_oversize) {
        m_reason = "more bytes than the declared size " + std::to_string(m_component.size);
        return KVTRELAY_E_DIGEST;
    }
    if (status <= 0 && m_transport.RangeRefused() && m_start > 0) {
        retry = true;
        return status;
    }
    if (!hashed) {
        if (hashErrno == ENOMEM)
            return KVTRELAY_E_NOMEMORY;
        m_reason = std::string("reading back the part file: ") + strerror(hashErrno);
        return KVTRELAY_E_WRITE;
    }
    if (status <= 0) {
        // Everything received is in the part file: the next run goes on from there.
        keep = status == KVTRELAY_E_DOWNLOAD && m_received > 0;
        m_reason = m_transport.Error();
    }
    return status;
}

// Checks size and digest of a complete transfer and reports its end.
int32_t CPackageDownload::verify(bool& retry)
{
    const uint64_t total = m_component.size;
    std::string digest = m_sha->HexDigest();
    if (m_received != total || digest != m_component.sha256) {
        if (m_start > 0) {
            retry = true;  // the bytes kept from before may be of other contents
            return KVTRELAY_E_DIGEST;
        }
        if (m_received != total)
            m_reason = "size " + std::to_string(m_received) + " bytes, expected " + std::to_string(total);
        else
            m_reason = "SHA-256 " + shortDigest(digest) + ", expected " + shortDigest(m_component.sha256);
        return KVTRELAY_E_DIGEST;
    }
    if (m_reported != m_received && !m_context.Emit(KVTRELAY_EVENT_PROGRESS, m_name, total, m_received))
        return KVTRELAY_E_CANCELLED;
    if (!m_context.Emit(KVTRELAY_EVENT_DOWNLOADEND, m_name, total, m_received))
        m_stopAfter = true;  // the package is complete: keep it, then stop
    return KVTRELAY_S_OK;
}

bool CPackageDownload::accept(const char* data, size_t size)
{
    if (m_received + size > m_component.size) {
        m_oversize = true;  // more than the index promised: no need to read the rest
        return false;
    }
    m_received += size;
    // The transfer library hands over small pieces: they are gathered and go out a buffer at a
    // time, which saves a system call and a wake-up of the hashing thread for each piece.
    if (m_gather.empty() && size >= kGatherSize)
        return writeOut(data, size) && reportProgress();
    try {
        if (m_gather.capacity() < kGatherSize)
            m_gather.reserve(kGatherSize);
        m_gather.insert(m_gather.end(), data, data + size);
    } catch (const std::bad_alloc&) {
        m_noMemory = true;
        return false;
    }
    if (m_gather.size() >= kGatherSize && !flush())
        return false;
    return reportProgress();
}

// Writes the gathered bytes out.
bool CPackageDownload::flush()
{
    if (m_gather.empty())
        return true;
    bool ok = writeOut(m_gather.data(), m_gather.size());
    m_gather.clear();
    return ok;
}

// Writes bytes to the part file and has them hashed.
bool CPackageDownload::writeOut(const char* data, size_t size)
{
    if (!fdio::WriteAll(m_fd, data, size)) {
        m_writeFailed = true;
        m_writeErrno = errno;
        return false;
    }
    m_written += size;
    m_hasher.Advance(m_written);
    return true;
}

int64_t CPackageDownload::copyFrom(int fd, size_t len)
{
    // One byte more than the index promises shows a source file that is larger.
    uint64_t ask = std::min<uint64_t>(len, m_component.size - m_received + 1);
    ssize_t n = fdio::CopyFileRange(fd, m_fd, static_cast<size_t>(ask));
    if (n < 0) {
        int err = errno;
        if (m_received == m_start && fdio::CopyUnsupported(err))
            return kCopyUnsupported;
        bool writing = fdio::WriteSideError(err);
        (writing ? m_writeFailed : m_readFailed) = true;
        (writing ? m_writeErrno : m_readErrno) = err;
        return kCopyStopped;
    }
    if (n == 0)
        return 0;
    if (m_received + static_cast<uint64_t>(n) > m_component.size) {
        m_oversize = true;
        return kCopyStopped;
    }
    m_received += static_cast<uint64_t>(n);
    m_written += static_cast<uint64_t>(n);
    m_hasher.Advance(m_written);
    return reportProgress() ? n : kCopyStopped;
}

// False when the handler asked to stop.
bool CPackageDownload::reportProgress()
{
    auto now = std::chrono::steady_clock::now();
    if (m_received - m_reported < kProgressStep && now - m_lastProgress < kProgressInterval)
        return true;
    m_reported = m_received;
    m_lastProgress = now;
    if (m_context.Emit(KVTRELAY_EVENT_PROGRESS, m_name, m_component.size, m_received))
        return true;
    m_cancelled = true;
    return false;
}

}  // namespace kvtrelay
