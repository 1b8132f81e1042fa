#pragma once
/// SHA-256 over data that arrives in pieces, so a package is hashed while it is copied.

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct evp_md_ctx_st;

namespace kvtrelay {

class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    /// False when the digest could not be set up (no memory).
    bool IsValid() const { return m_ctx != nullptr && m_ok; }
    void Update(const void* data, size_t size);
    /// The digest as 64 lower-case hex digits; empty on failure.
    std::string HexDigest();

private:
    evp_md_ctx_st* m_ctx;
    bool m_ok;
};

/// Hashes a file on a second thread while it is being written: the writer says how far the
/// file holds its bytes, and the worker reads them back (from the page cache) and hashes them.
/// A copy then costs about the longer of writing and hashing instead of their sum, the writer
/// never waits for the hash until the end, and the digest is of the bytes the file really holds.
/// One worker serves a whole operation, one file at a time.
class CFileHasher {
public:
    CFileHasher() = default;
    ~CFileHasher();
    CFileHasher(const CFileHasher&) = delete;
    CFileHasher& operator=(const CFileHasher&) = delete;

    /// Starts hashing fd into sha from byte `from` on; fd and sha must stay until Finish.
    /// Without a thread (none could be made) Advance hashes at once.
    void Begin(CSha256& sha, int fd, uint64_t from);
    /// The file now holds the bytes up to end.
    void Advance(uint64_t end);
    /// Waits until every byte given to Advance is hashed and ends the file's job. False when the
    /// file could not be read back (errno tells why).
    bool Finish();

private:
    void run();
    bool hashRange(CSha256& sha, int fd, uint64_t from, uint64_t to);

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_work, m_done;
    CSha256* m_sha = nullptr;
    int m_fd = -1;
    uint64_t m_hashed = 0, m_written = 0;
    int m_error = 0;
    bool m_idle = true, m_quit = false, m_noThread = false;
    std::vector<char> m_buffer;  // the worker's, or the caller's when there is no worker
};
/// True for a SHA-256 digest as this library writes it: 64 lower-case hex digits.
bool IsHexDigest(const std::string& text);

/// Hashes a whole file; false when it cannot be read. size receives the byte count.
bool HashFile(const std::string& path, std::string& hex, uint64_t& size);

}  // namespace kvtrelay
