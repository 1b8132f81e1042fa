#pragma once
// Fetching one package into the repository: the resumable "<package>.part" file, checked for
// size and SHA-256 before it is renamed into place.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay_context.h"
#include "sha256_stream.h"
#include "source_index.h"
#include "transport.h"

namespace kvtrelay {

/// What the downloads of one operation share, so that the hashing thread and the buffers are
/// made once: fresh buffers for every file cost a page fault per page.
struct DownloadScratch {
    std::vector<char> gather;
    CFileHasher hasher;
    uint64_t laterBytes = 0;  ///< what the run's packages after this one will add
};

/// Writes a download to "<final>.part", hashing the part file as its bytes land (a local source is
/// copied into it by the kernel where it can be), and renames it into place
/// only when size and digest are right. A transfer that fails keeps its part file, and the next
/// run goes on from its bytes; a part that turns out wrong is dropped and fetched again whole.
class CPackageDownload {
public:
    CPackageDownload(KVTRELAY_Context& context, CTransport& transport, DownloadScratch& scratch,
                     const IndexComponent& component, const std::string& finalPath, const std::string& name);
    ~CPackageDownload();
    CPackageDownload(const CPackageDownload&) = delete;
    CPackageDownload& operator=(const CPackageDownload&) = delete;

    /// Fetches the package. Status: S_OK, E_WRITE, E_NOMEMORY, E_DIGEST, E_CANCELLED or the
    /// transport's E_DOWNLOAD.
    int32_t Run();

    /// Why Run failed, for the failure report; empty after a cancel.
    const std::string& Reason() const { return m_reason; }
    uint64_t Received() const { return m_received; }
    /// True when the package is complete but the handler asked to stop after it.
    bool StopAfter() const { return m_stopAfter; }

private:
    bool prepare(bool resume);
    int32_t transfer(bool resume, bool& retry, bool& keep);
    int32_t begin(bool resume);
    int32_t judgeTransfer(int32_t status, bool hashed, int hashErrno, bool& retry, bool& keep);
    int32_t verify(bool& retry);
    bool accept(const char* data, size_t size);
    bool flush();
    bool writeOut(const char* data, size_t size);
    int64_t copyFrom(int fd, size_t len);
    bool reportProgress();

    KVTRELAY_Context& m_context;
    CTransport& m_transport;
    CFileHasher& m_hasher;
    std::vector<char>& m_gather;
    uint64_t m_later;  // the run's bytes still to come after this package, which need room too
    const IndexComponent& m_component;
    std::string m_final, m_name, m_reason;
    int m_fd = -1;
    std::unique_ptr<CSha256> m_sha;
    uint64_t m_received = 0, m_reported = 0, m_start = 0;
    uint64_t m_written = 0;  // what the part file holds; m_received also counts gathered bytes
    std::chrono::steady_clock::time_point m_lastProgress;
    int m_writeErrno = 0, m_readErrno = 0;
    bool m_cancelled = false, m_oversize = false, m_writeFailed = false, m_readFailed = false;
    bool m_noMemory = false;
    bool m_stopAfter = false;
};

/// The name a download of file is written under until it is complete; it stays after a failed
/// or interrupted transfer so that the next run can go on from its bytes.
std::string PartName(const std::string& file);

/// Removes "<name>.<pid>.part" files in folder left by processes that no longer run (the form
/// used before downloads could be resumed).
void RemoveStaleParts(const std::string& folder);

}  // namespace kvtrelay
