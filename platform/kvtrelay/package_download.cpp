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

#include "fd_write.h"
#include "file_paths.h"
#include "relay_contract.h"
#include "zip_archive.h"

namespace kvtrelay {

namespace {

const size_t kWriteBuffer = 1 << 20;
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
    : m_context(context), m_transport(transport), m_hasher(scratch.hasher), m_buffer(scratch.gather),
      m_spare(scratch.spare), m_component(component), m_final(finalPath), m_name(name)
{
    m_buffer.clear();
}

CPackageDownload::~CPackageDownload()
{
    m_hasher.Wait();  // the worker may still be adding to m_sha
    if (m_fd >= 0)
        close(m_fd);
}

int32_t CPackageDownload::Run()
{
    std::string part = m_final.substr(0, m_final.rfind('/') + 1) + PartName(m_name);
    m_fd = open(part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
    m_hasher.Wait();
    m_sha.reset(new (std::nothrow) CSha256);
    m_buffer.clear();
    m_received = m_reported = m_start = 0;
    struct stat st;
    if (fstat(m_fd, &st) != 0)
        return false;
    uint64_t have = static_cast<uint64_t>(st.st_size);
    if (!resume || have > m_component.size)
        have = 0;
    if (have > 0 && m_sha && m_sha->IsValid()) {
        std::vector<char>& buf = m_spare;
        try {
            buf.resize(kWriteBuffer);
        } catch (const std::bad_alloc&) {
            have = 0;
        }
        uint64_t done = 0;
        while (done < have) {
            ssize_t n = pread(m_fd, buf.data(), std::min<uint64_t>(buf.size(), have - done), static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            m_sha->Update(buf.data(), static_cast<size_t>(n));
            done += static_cast<uint64_t>(n);
        }
        if (done != have) {
            have = 0;
            m_sha.reset(new (std::nothrow) CSha256);
        }
        buf.clear();
    }
    if (have == 0 && ftruncate(m_fd, 0) != 0)
        return false;
    if (lseek(m_fd, static_cast<off_t>(have), SEEK_SET) != static_cast<off_t>(have))
        return false;
    m_received = m_reported = m_start = have;
    m_lastProgress = std::chrono::steady_clock::now();
    return true;
}

int32_t CPackageDownload::transfer(bool resume, bool& retry, bool& keep)
{
    retry = keep = false;
    const uint64_t total = m_component.size;
    if (!prepare(resume)) {
        m_reason = std::string("part file: ") + strerror(errno);
        return KVTRELAY_E_WRITE;
    }
    if (!m_sha || !m_sha->IsValid())
        return KVTRELAY_E_NOMEMORY;
    if (resume && !m_context.Emit(KVTRELAY_EVENT_DOWNLOADBEGIN, m_name, total, 0))
        return KVTRELAY_E_CANCELLED;
    // Room first: a source that declares more than fits fails at once, not when full.
    uint64_t room = 0;
    int spaceError = 0;
    if (ziparchive::FreeSpace(m_final.substr(0, m_final.rfind('/') + 1), room, spaceError) && room < total - m_start) {
        m_reason = "needs " + std::to_string(total - m_start) + " bytes, the repository's file system has " +
                   std::to_string(room) + " bytes free";
        return KVTRELAY_E_WRITE;
    }
    int32_t status = KVTRELAY_S_OK;
    if (m_start < total) {
        bool stopped = false;
        status = m_transport.Fetch(
            m_component.package, [this](const char* data, size_t size) { return accept(data, size); }, stopped, m_start,
            total);
    }
    if (m_cancelled)
        return KVTRELAY_E_CANCELLED;
    if (m_writeFailed) {
        m_reason = std::string("writing the part file: ") + strerror(m_writeErrno);
        return KVTRELAY_E_WRITE;
    }
    if (m_noMemory)
        return KVTRELAY_E_NOMEMORY;
    if (m_oversize) {
        m_reason = "more bytes than the declared size " + std::to_string(total);
        return KVTRELAY_E_DIGEST;
    }
    if (status <= 0 && m_transport.RangeRefused() && m_start > 0) {
        retry = true;
        return status;
    }
    bool flushed = flush();
    int flushErrno = errno;
    m_hasher.Wait();
    if (!flushed) {
        m_reason = std::string("writing the part file: ") + strerror(flushErrno);
        return KVTRELAY_E_WRITE;
    }
    if (status <= 0) {
        // Everything received is in the part file: the next run goes on from there.
        keep = status == KVTRELAY_E_DOWNLOAD && m_received > 0;
        m_reason = m_transport.Error();
        return status;
    }
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
    if (size >= kWriteBuffer) {
        // Large pieces (file sources) are hashed on the second core while they are written;
        // the source reuses its buffer once this returns.
        bool written = flush();
        m_hasher.Wait();
        m_hasher.Start(*m_sha, data, size);
        written = fdio::WriteAll(m_fd, data, size) && written;
        int err = errno;
        m_hasher.Wait();
        if (!written) {
            m_writeFailed = true;
            m_writeErrno = err;
            return false;
        }
    } else {
        // Small pieces (network reads) are gathered and go out a buffer at a time.
        try {
            if (m_buffer.capacity() < kWriteBuffer) {
                m_buffer.reserve(kWriteBuffer);
                m_spare.reserve(kWriteBuffer);
            }
            m_buffer.insert(m_buffer.end(), data, data + size);
        } catch (const std::bad_alloc&) {
            m_noMemory = true;
            return false;
        }
        if (m_buffer.size() >= kWriteBuffer && !flush()) {
            m_writeFailed = true;
            m_writeErrno = errno;
            return false;
        }
    }
    auto now = std::chrono::steady_clock::now();
    if (m_received - m_reported >= kProgressStep || now - m_lastProgress >= kProgressInterval) {
        m_reported = m_received;
        m_lastProgress = now;
        if (!m_context.Emit(KVTRELAY_EVENT_PROGRESS, m_name, m_component.size, m_received)) {
            m_cancelled = true;
            return false;
        }
    }
    return true;
}

// Writes the gathered bytes and has them hashed while the next ones arrive in the spare
// buffer; hashing keeps the order because each piece waits for the one before.
bool CPackageDownload::flush()
{
    if (m_buffer.empty())
        return true;
    bool ok = fdio::WriteAll(m_fd, m_buffer.data(), m_buffer.size());
    int err = errno;
    m_hasher.Wait();
    m_buffer.swap(m_spare);
    m_hasher.Start(*m_sha, m_spare.data(), m_spare.size());
    m_buffer.clear();
    errno = err;
    return ok;
}

}  // namespace kvtrelay
