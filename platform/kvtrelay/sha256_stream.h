#pragma once
/// SHA-256 over data that arrives in pieces, so a package is hashed while it is copied.

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

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

/// Hashes on a second thread while the caller writes the same bytes out, so a large copy costs
/// about the longer of the two instead of their sum. One worker serves a whole operation; the
/// pieces given to it are hashed in the order given.
class CHashWorker {
public:
    CHashWorker() = default;
    ~CHashWorker();
    CHashWorker(const CHashWorker&) = delete;
    CHashWorker& operator=(const CHashWorker&) = delete;

    /// Starts adding size bytes at data to sha; the bytes and sha must stay until Wait returns.
    /// Without a thread (none could be made) the bytes are hashed here and now.
    void Start(CSha256& sha, const void* data, size_t size);
    /// Waits until the piece given to Start is hashed.
    void Wait();

private:
    void run();

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    CSha256* m_sha = nullptr;
    const void* m_data = nullptr;
    size_t m_size = 0;
    bool m_busy = false;
    bool m_quit = false;
    bool m_noThread = false;
};

/// True for a SHA-256 digest as this library writes it: 64 lower-case hex digits.
bool IsHexDigest(const std::string& text);

/// Hashes a whole file; false when it cannot be read. size receives the byte count.
bool HashFile(const std::string& path, std::string& hex, uint64_t& size);

}  // namespace kvtrelay
