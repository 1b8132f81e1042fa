#include "sha256_stream.h"

#include <cstdint>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>

namespace kvtrelay {

CSha256::CSha256() : m_ctx(EVP_MD_CTX_new()), m_ok(false)
{
    if (m_ctx)
        m_ok = EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) == 1;
}

CSha256::~CSha256()
{
    EVP_MD_CTX_free(m_ctx);
}

void CSha256::Update(const void* data, size_t size)
{
    if (m_ok && size > 0)
        m_ok = EVP_DigestUpdate(m_ctx, data, size) == 1;
}

std::string CSha256::HexDigest()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_ctx, md, &len) != 1)
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

CHashWorker::~CHashWorker()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
}

void CHashWorker::Start(CSha256& sha, const void* data, size_t size)
{
    if (!m_thread.joinable() && !m_noThread) {
        try {
            m_thread = std::thread(&CHashWorker::run, this);
        } catch (const std::system_error&) {
            m_noThread = true;
        }
    }
    if (m_noThread) {
        sha.Update(data, size);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sha = &sha;
        m_data = data;
        m_size = size;
        m_busy = true;
    }
    m_cv.notify_all();
}

void CHashWorker::Wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_busy; });
}

void CHashWorker::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_busy || m_quit; });
        if (m_quit)
            return;
        CSha256* sha = m_sha;
        const void* data = m_data;
        size_t size = m_size;
        lock.unlock();
        sha->Update(data, size);
        lock.lock();
        m_busy = false;
        m_cv.notify_all();
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
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
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
