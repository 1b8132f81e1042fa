// SHA-256 over data that arrives in pieces, and the thread that hashes a part file as it grows.
#include "sha256_stream.h"

#include "regular_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

#include "lazy_library.h"

#ifndef KVTRELAY_CRYPTO_LIBRARY
#define KVTRELAY_CRYPTO_LIBRARY "libcrypto.so.3"
#endif

namespace kvtrelay {

namespace {

using dynload::Slot;

// OpenSSL's digest functions, found when the first package is hashed: a run that trusts every
// package it holds never loads the library.
struct DigestApi {
    EVP_MD_CTX* (*ctxNew)();
    void (*ctxFree)(EVP_MD_CTX*);
    const EVP_MD* (*sha256)();
    int (*init)(EVP_MD_CTX*, const EVP_MD*, ENGINE*);
    int (*update)(EVP_MD_CTX*, const void*, size_t);
    int (*final)(EVP_MD_CTX*, unsigned char*, unsigned int*);
};

DigestApi g_digest;
dynload::CLazyLibrary g_crypto(KVTRELAY_CRYPTO_LIBRARY, {{"EVP_MD_CTX_new", Slot(g_digest.ctxNew)},
                                                         {"EVP_MD_CTX_free", Slot(g_digest.ctxFree)},
                                                         {"EVP_sha256", Slot(g_digest.sha256)},
                                                         {"EVP_DigestInit_ex", Slot(g_digest.init)},
                                                         {"EVP_DigestUpdate", Slot(g_digest.update)},
                                                         {"EVP_DigestFinal_ex", Slot(g_digest.final)}});

}  // namespace

CSha256::CSha256() : m_ctx(nullptr), m_ok(false)
{
    std::string error;
    if (!g_crypto.Open(error))
        return;  // not valid: the package fails as when out of memory
    m_ctx = g_digest.ctxNew();
    if (m_ctx)
        m_ok = g_digest.init(m_ctx, g_digest.sha256(), nullptr) == 1;
}

CSha256::~CSha256()
{
    if (m_ctx)
        g_digest.ctxFree(m_ctx);
}

void CSha256::Update(const void* data, size_t size)
{
    if (m_ok && size > 0)
        m_ok = g_digest.update(m_ctx, data, size) == 1;
}

std::string CSha256::HexDigest()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!m_ok || g_digest.final(m_ctx, md, &len) != 1)
        return std::string();
    m_ok = false;  // a finished digest takes no more data
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

namespace {

// Read back and hashed in pieces that stay in the core's cache between the two steps.
const size_t kHashPiece = 256 * 1024;

}  // namespace

CFileHasher::~CFileHasher()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_work.notify_all();
    m_thread.join();
}

void CFileHasher::Begin(CSha256& sha, int fd, uint64_t from)
{
    Finish();
    if (!m_thread.joinable() && !m_noThread) {
        try {
            m_thread = std::thread(&CFileHasher::run, this);
        } catch (const std::system_error&) {
            m_noThread = true;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sha = &sha;
    m_fd = fd;
    m_hashed = m_written = from;
    m_error = 0;
}

void CFileHasher::Advance(uint64_t end)
{
    if (m_noThread) {
        if (m_sha && m_error == 0 && end > m_hashed) {
            if (hashRange(*m_sha, m_fd, m_hashed, end))
                m_hashed = end;
            else
                m_error = errno;
        }
        return;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written = end;
        wake = m_idle;
    }
    if (wake)
        m_work.notify_one();
}

bool CFileHasher::Finish()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_noThread || (m_idle && (m_error != 0 || m_hashed >= m_written)); });
    int err = m_error;
    m_sha = nullptr;
    m_fd = -1;
    m_hashed = m_written = 0;
    m_error = 0;
    errno = err;
    return err == 0;
}

bool CFileHasher::hashRange(CSha256& sha, int fd, uint64_t from, uint64_t to)
{
    try {
        if (m_buffer.size() < kHashPiece)
            m_buffer.resize(kHashPiece);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    while (from < to) {
        ssize_t n = pread(fd, m_buffer.data(), std::min<uint64_t>(kHashPiece, to - from), static_cast<off_t>(from));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;  // shorter than what was written to it
            return false;
        }
        sha.Update(m_buffer.data(), static_cast<size_t>(n));
        from += static_cast<uint64_t>(n);
    }
    return true;
}

void CFileHasher::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_idle = true;
        m_done.notify_all();
        m_work.wait(lock, [this] { return m_quit || (m_sha && m_error == 0 && m_written > m_hashed); });
        if (m_quit)
            return;
        m_idle = false;
        CSha256& sha = *m_sha;
        const int fd = m_fd;
        const uint64_t from = m_hashed;
        const uint64_t to = std::min<uint64_t>(m_written, from + kHashPiece);
        lock.unlock();
        bool ok = hashRange(sha, fd, from, to);
        int err = errno;
        lock.lock();
        if (ok)
            m_hashed = to;
        else
            m_error = err != 0 ? err : EIO;
    }
}

bool IsHexDigest(const std::string& text)
{
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool HashFile(const std::string& path, std::string& hex, uint64_t& size)
{
    // Non-blocking, so that a FIFO put in a package's place cannot stall the caller; only a
    // regular file has a digest.
    int fd = -1;
    struct stat st;
    if (fdio::OpenRegularFile(path, fd, st) != fdio::OpenResult::Opened)
        return false;
    CSha256 sha;
    std::vector<char> buf(1 << 20);
    size = 0;
    bool ok = sha.IsValid();
    while (ok) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        sha.Update(buf.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    close(fd);
    if (!ok)
        return false;
    hex = sha.HexDigest();
    return !hex.empty();
}

}  // namespace kvtrelay
