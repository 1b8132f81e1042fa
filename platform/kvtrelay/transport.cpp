// Reading the files of an update source: a folder through the file system, or http(s) through
// the client that speaks the url, with the index asked for conditionally.

#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "file_paths.h"
#include "plain_http.h"
#include "regular_file.h"
#include "source_index.h"
#include "text_conversion.h"

namespace kvtrelay {

namespace {

const size_t kCopyBuffer = 1 << 20;
const size_t kMaxIndexSize = 16 << 20;
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool startsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool startsWithNoCase(const std::string& s, const char* prefix)
{
    return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

std::string trimSlashes(std::string s)
{
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string systemError(const char* what, int err)
{
    return std::string(what) + ": " + strerror(err);
}

}  // namespace

bool LocalSourcePath(const std::string& url, std::string& path)
{
    std::string p;
    if (startsWithNoCase(url, "file://")) {
        std::string rest = url.substr(7);
        if (startsWithNoCase(rest, "localhost/"))
            rest = rest.substr(9);
        if (rest.empty() || rest[0] != '/')
            return false;  // a host other than the local one
        for (size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
                p += static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
                i += 2;
            } else {
                p += rest[i];
            }
        }
    } else if (startsWith(url, "/")) {
        p = url;
    } else {
        return false;
    }
    path = trimSlashes(p);
    return true;
}

CTransport::CTransport(const TransportSettings& settings) : m_settings(settings) {}

CTransport::~CTransport() = default;

int32_t CTransport::Open(const KVTRELAY_Source& source, std::string& indexText)
{
    std::string url = WideToUtf8(source.url);
    m_proxy = ProxySettings();
    if (source.proxy && source.proxy->host && source.proxy->host[0]) {
        m_proxy.type = source.proxy->type == 1 ? 1 : 0;
        m_proxy.host = WideToUtf8(source.proxy->host);
        m_proxy.port = source.proxy->port;
        m_proxy.user = WideToUtf8(source.proxy->user);
        m_proxy.password = WideToUtf8(source.proxy->password);
    }
    // The clients of another source's settings are not reused.
    m_plain.reset();
    m_secure.reset();
    std::string local;
    if (LocalSourcePath(url, local)) {
        m_http = false;
        m_base = local;
        return readIndex(indexText);
    }
    bool isHttps = startsWithNoCase(url, "https://");
    bool isHttp = startsWithNoCase(url, "http://");
    m_base = url;
    if (!isHttp && !isHttps) {
        m_error = "unsupported url";
        return KVTRELAY_E_SCHEME;
    }
    if (isHttp && m_settings.httpsLevel >= 2) {
        m_error = "plain http refused by httpslevel";
        return KVTRELAY_E_INSECURE;
    }
    m_http = true;
    if (isHttp && m_settings.httpsLevel == 1) {
        // Try the same place over https first; only a source that cannot be read that way
        // is read over plain http.
        m_base = trimSlashes("https://" + url.substr(7));
        int32_t status = readIndex(indexText);
        if (status > 0 || status == KVTRELAY_E_INDEX || status == KVTRELAY_E_NOMEMORY)
            return status;
    }
    m_base = trimSlashes(url);
    return readIndex(indexText);
}

int32_t CTransport::readIndex(std::string& text)
{
    text.clear();
    bool tooLarge = false;
    bool stopped = false;
    DataSink sink = [&](const char* data, size_t size) {
        if (text.size() + size > kMaxIndexSize) {
            tooLarge = true;
            return false;
        }
        text.append(data, size);
        return true;
    };
    int32_t status = m_http ? fetchIndexConditionally(sink, stopped, text)
                            : Fetch(kIndexName, sink, stopped, 0, kMaxIndexSize);
    if (tooLarge) {
        m_error = "index larger than " + std::to_string(kMaxIndexSize) + " bytes";
        return KVTRELAY_E_INDEX;
    }
    if (status <= 0)
        return status == KVTRELAY_E_NOMEMORY || status == KVTRELAY_E_INSECURE ? status : KVTRELAY_E_SOURCE;
    return KVTRELAY_S_OK;
}

// Reads the index over http(s), asking with the offered copy's validators when it came from the
// same url; a 304 answer takes the copy's text.
int32_t CTransport::fetchIndexConditionally(const DataSink& sink, bool& stopped, std::string& text)
{
    m_toKeep = KeptIndex();
    m_unchanged = false;
    std::string url = Location(kIndexName);
    bool ask = m_offered.url == url && (!m_offered.etag.empty() || !m_offered.lastModified.empty());
    m_askWith = ask ? &m_offered : nullptr;
    int32_t status = Fetch(kIndexName, sink, stopped, 0, kMaxIndexSize);
    // Packages are asked for unconditionally.
    m_askWith = nullptr;
    if (status <= 0)
        return status;
    KeptIndex seen{url, m_answer.etag, m_answer.lastModified, text};
    if (ask && m_answer.code == 304) {
        m_unchanged = true;
        text = seen.text = m_offered.text;
        seen.etag = seen.etag.empty() ? m_offered.etag : seen.etag;
        seen.lastModified = seen.lastModified.empty() ? m_offered.lastModified : seen.lastModified;
    }
    if (!seen.etag.empty() || !seen.lastModified.empty())
        m_toKeep = seen;
    return status;
}

std::string CTransport::Location(const std::string& relative) const
{
    return m_http ? m_base + "/" + relative : JoinPath(m_base, relative);
}

int32_t CTransport::Fetch(const std::string& relative, const DataSink& sink, bool& stopped, uint64_t offset,
                          uint64_t expected, const CopySink* copy)
{
    stopped = false;
    m_error.clear();
    m_rangeRefused = false;
    DataSink paced = sink;
    if (m_settings.maxBandwidth > 0) {
        // The library's own limit averages over seconds and lets short files through at full
        // speed, so each file is also paced here: a read waits until its bytes are due.
        auto start = std::chrono::steady_clock::now();
        uint64_t rate = static_cast<uint64_t>(m_settings.maxBandwidth);
        auto done = std::make_shared<uint64_t>(0);
        paced = [&sink, start, rate, done](const char* data, size_t size) {
            if (!sink(data, size))
                return false;
            *done += size;
            std::this_thread::sleep_until(start + std::chrono::microseconds(*done * 1000000 / rate));
            return true;
        };
    }
    if (m_http) {
        HttpGet get;
        get.url = Location(relative);
        get.offset = offset;
        get.expected = expected > offset ? expected - offset : 0;
        get.kept = m_askWith;
        return fetchHttp(get, paced, stopped);
    }
    // Pacing needs the bytes to pass through here, so a bandwidth limit turns the copy off.
    return fetchLocal(Location(relative), paced, stopped, offset, m_settings.maxBandwidth > 0 ? nullptr : copy);
}

int32_t CTransport::fetchLocal(const std::string& path, const DataSink& sink, bool& stopped, uint64_t offset,
                               const CopySink* copy)
{
    // A FIFO in a source must not make the run wait for a writer that may never come.
    int fd = -1;
    struct stat st;
    const fdio::OpenResult opened = fdio::OpenRegularFile(path, fd, st);
    if (opened == fdio::OpenResult::Failed) {
        m_error = systemError("open", errno);
        return KVTRELAY_E_DOWNLOAD;
    }
    if (opened == fdio::OpenResult::NotRegular) {
        m_error = "not a regular file";
        return KVTRELAY_E_DOWNLOAD;
    }
    if (offset > 0) {
        if (static_cast<uint64_t>(st.st_size) < offset ||
            lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
            m_rangeRefused = true;
            m_error = "the file is shorter than the " + std::to_string(offset) + " bytes already copied";
            close(fd);
            return KVTRELAY_E_DOWNLOAD;
        }
    }
    int32_t status = KVTRELAY_S_OK;
    if (copy && copyLocal(fd, *copy, stopped, status)) {
        close(fd);
        return status;
    }
    // One buffer serves every file of the operation: fresh pages per file cost faults.
    std::vector<char>& buf = m_buffer;
    try {
        if (buf.size() < kCopyBuffer)
            buf.resize(kCopyBuffer);
    } catch (const std::bad_alloc&) {
        close(fd);
        return KVTRELAY_E_NOMEMORY;
    }
    // With a bandwidth limit, read in pieces of at most a tenth of a second's worth.
    size_t piece = buf.size();
    if (m_settings.maxBandwidth > 0 && static_cast<uint64_t>(m_settings.maxBandwidth) / 10 < piece)
        piece = std::max<size_t>(1, static_cast<size_t>(m_settings.maxBandwidth / 10));
    for (;;) {
        ssize_t n = read(fd, buf.data(), piece);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = systemError("read", errno);
            status = KVTRELAY_E_DOWNLOAD;
            break;
        }
        if (n == 0)
            break;
        if (!sink(buf.data(), static_cast<size_t>(n))) {
            stopped = true;
            status = KVTRELAY_E_DOWNLOAD;
            break;
        }
    }
    close(fd);
    return status;
}

// Lets the copy sink move the whole file; false when it cannot copy from it at all.
bool CTransport::copyLocal(int fd, const CopySink& copy, bool& stopped, int32_t& status)
{
    for (;;) {
        int64_t n = copy(fd, kCopyBuffer);
        if (n == kCopyUnsupported)
            return false;
        if (n == 0) {
            status = KVTRELAY_S_OK;
            return true;
        }
        if (n < 0) {
            stopped = true;
            status = KVTRELAY_E_DOWNLOAD;
            return true;
        }
    }
}

CHttpClient* CTransport::secureClient()
{
    if (!m_secure)
        m_secure.reset(new (std::nothrow) CCurlHttpClient(m_settings, m_proxy));
    return m_secure.get();
}

CHttpClient* CTransport::clientFor(const std::string& url)
{
    if (m_proxy.type >= 0 || !CPlainHttpClient::Speaks(url))
        return secureClient();
    if (!m_plain)
        m_plain.reset(new (std::nothrow) CPlainHttpClient(m_settings, [this] { return secureClient(); }));
    return m_plain.get();
}

int32_t CTransport::fetchHttp(const HttpGet& get, const DataSink& sink, bool& stopped)
{
    CHttpClient* client = clientFor(get.url);
    if (!client)
        return KVTRELAY_E_NOMEMORY;
    client->Get(get, sink, m_answer);
    stopped = m_answer.stopped;
    m_error = m_answer.error;
    m_rangeRefused = m_answer.rangeRefused;
    return m_answer.status;
}

}  // namespace kvtrelay
