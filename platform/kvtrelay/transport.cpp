// Reading the files of an update source: a folder through the file system, or http(s) through
// one kept-alive transfer handle, with the index asked for conditionally.

#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <curl/curl.h>

#include "file_paths.h"
#include "regular_file.h"
#include "source_index.h"
#include "text_conversion.h"

namespace kvtrelay {

namespace {

const size_t kCopyBuffer = 1 << 20;
const size_t kMaxIndexSize = 16 << 20;
const long kConnectTimeout = 30;

std::mutex g_limitsMutex;
TransferLimits g_limits;

std::mutex g_libraryMutex;
bool g_libraryStarted = false;

// The transfer library sets up its TLS back end when it starts, which costs a run over a folder
// (or an export) more than the rest of its start-up; it is started by the first http(s)
// transfer instead of with the relay. False when it cannot start.
bool startTransferLibrary()
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (!g_libraryStarted)
        g_libraryStarted = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return g_libraryStarted;
}

struct CurlSink {
    const DataSink* sink;
    bool stopped;
};

size_t curlWrite(char* data, size_t size, size_t count, void* user)
{
    CurlSink* s = static_cast<CurlSink*>(user);
    size_t n = size * count;
    if (!(*s->sink)(data, n)) {
        s->stopped = true;
        return n == 0 ? 1 : 0;  // any count but n makes the transfer fail
    }
    return n;
}

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

// The validators of the last response: a redirect's headers are dropped when the next status
// line comes.
struct Validators {
    std::string etag, lastModified;
};

std::string headerValue(const std::string& line, size_t nameLength)
{
    size_t start = line.find_first_not_of(" \t", nameLength);
    size_t end = line.find_last_not_of(" \t\r\n");
    return start == std::string::npos || end < start ? std::string() : line.substr(start, end - start + 1);
}

size_t curlHeader(char* data, size_t size, size_t count, void* user)
{
    Validators* v = static_cast<Validators*>(user);
    std::string line(data, size * count);
    if (startsWithNoCase(line, "HTTP/"))
        *v = Validators();
    else if (startsWithNoCase(line, "ETag:"))
        v->etag = headerValue(line, 5);
    else if (startsWithNoCase(line, "Last-Modified:"))
        v->lastModified = headerValue(line, 14);
    return size * count;
}

// Adds If-None-Match and If-Modified-Since for the kept copy. False when out of memory.
bool appendConditions(std::unique_ptr<curl_slist, void (*)(curl_slist*)>& headers, const KeptIndex& kept)
{
    const std::pair<const char*, const std::string*> conditions[] = {{"If-None-Match: ", &kept.etag},
                                                                     {"If-Modified-Since: ", &kept.lastModified}};
    for (const auto& c : conditions) {
        if (c.second->empty())
            continue;
        // Appending returns the list's head, which is new only for the first item.
        curl_slist* head = curl_slist_append(headers.get(), (c.first + *c.second).c_str());
        if (!head)
            return false;
        if (!headers)
            headers.reset(head);
    }
    return true;
}

}  // namespace

void SetTransferLimits(const TransferLimits& limits)
{
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    g_limits = limits;
}

TransferLimits GetTransferLimits()
{
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    return g_limits;
}

void StopTransferLibrary()
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (g_libraryStarted)
        curl_global_cleanup();
    g_libraryStarted = false;
}

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

CTransport::CTransport(const TransportSettings& settings) : m_settings(settings)
{
    m_curlError[0] = 0;
}

CTransport::~CTransport()
{
    if (m_curl)
        curl_easy_cleanup(m_curl);
}

int32_t CTransport::Open(const KVTRELAY_Source& source, std::string& indexText)
{
    std::string url = WideToUtf8(source.url);
    m_proxyType = -1;
    if (source.proxy && source.proxy->host && source.proxy->host[0]) {
        m_proxyType = source.proxy->type == 1 ? 1 : 0;
        m_proxyHost = WideToUtf8(source.proxy->host);
        m_proxyPort = source.proxy->port;
        m_proxyUser = WideToUtf8(source.proxy->user);
        m_proxyPassword = WideToUtf8(source.proxy->password);
    }
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
    if (!setUpHandle(kMaxIndexSize))
        return KVTRELAY_E_NOMEMORY;
    std::string url = Location(kIndexName);
    bool ask = m_offered.url == url && (!m_offered.etag.empty() || !m_offered.lastModified.empty());
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    if (ask && !appendConditions(headers, m_offered))
        return KVTRELAY_E_NOMEMORY;
    Validators seen;
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, curlHeader);
    curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, &seen);
    int32_t status = Fetch(kIndexName, sink, stopped, 0, kMaxIndexSize);
    // The handle goes on to fetch packages, which are asked for unconditionally.
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
    curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
    long code = 0;
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code);
    if (status <= 0)
        return status;
    if (ask && code == 304) {
        m_unchanged = true;
        text = m_offered.text;
        seen.etag = seen.etag.empty() ? m_offered.etag : seen.etag;
        seen.lastModified = seen.lastModified.empty() ? m_offered.lastModified : seen.lastModified;
    }
    if (!seen.etag.empty() || !seen.lastModified.empty())
        m_toKeep = KeptIndex{url, seen.etag, seen.lastModified, text};
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
    if (m_http)
        return fetchHttp(Location(relative), paced, stopped, offset, expected > offset ? expected - offset : 0);
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

bool CTransport::setUpHandle(uint64_t expected)
{
    if (!m_curl) {
        if (!startTransferLibrary())
            return false;
        // One handle for every file of the operation keeps the connection alive between them.
        m_curl = curl_easy_init();
        if (!m_curl)
            return false;
    }
    CURL* c = m_curl;
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect must not lead a https-only transfer back to plain http.
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, m_settings.httpsLevel >= 2 ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    // Every transfer ends: too slow on average over the window, or past a deadline that grows
    // with the bytes asked for. A bandwidth limit below those rates lowers them to fit.
    TransferLimits limits = GetTransferLimits();
    long minRate = limits.minRate;
    uint64_t deadlineRate = std::max<uint64_t>(1, limits.deadlineRate);
    if (m_settings.maxBandwidth > 0) {
        minRate = std::min<long>(minRate, std::max<long>(1, static_cast<long>(m_settings.maxBandwidth / 2)));
        deadlineRate = std::min<uint64_t>(deadlineRate, std::max<uint64_t>(1, m_settings.maxBandwidth / 2));
    }
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, minRate);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.window);
    uint64_t seconds = static_cast<uint64_t>(limits.baseSeconds) + (expected + deadlineRate - 1) / deadlineRate;
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(std::min<uint64_t>(seconds, 0x7fffffff)));
    long buffer = 256L * 1024L;
    // Small reads under a bandwidth limit let the pacing stay smooth.
    if (m_settings.maxBandwidth > 0)
        buffer = std::max(1024L, std::min(buffer, static_cast<long>(m_settings.maxBandwidth / 10)));
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, buffer);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_curlError);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "kvtrelay/1.0");
    if (m_settings.maxBandwidth > 0)
        curl_easy_setopt(c, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(m_settings.maxBandwidth));
    if (m_proxyType >= 0) {
        curl_easy_setopt(c, CURLOPT_PROXY, m_proxyHost.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYPORT, static_cast<long>(m_proxyPort));
        curl_easy_setopt(c, CURLOPT_PROXYTYPE,
                         m_proxyType == 1 ? static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME)
                                          : static_cast<long>(CURLPROXY_HTTP));
        if (!m_proxyUser.empty()) {
            curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, m_proxyUser.c_str());
            curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, m_proxyPassword.c_str());
        }
    } else {
        // Only the source's own proxy record counts, not the process environment.
        curl_easy_setopt(c, CURLOPT_PROXY, "");
    }
    return true;
}

int32_t CTransport::fetchHttp(const std::string& url, const DataSink& sink, bool& stopped, uint64_t offset,
                              uint64_t expected)
{
    if (!setUpHandle(expected))
        return KVTRELAY_E_NOMEMORY;
    CurlSink s{&sink, false};
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, curlWrite);
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &s);
    // The handle serves every file of the operation: the offset is set for each one.
    curl_easy_setopt(m_curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
    m_curlError[0] = 0;
    CURLcode rc = curl_easy_perform(m_curl);
    stopped = s.stopped;
    long code = 0;
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code);
    if (rc == CURLE_OUT_OF_MEMORY)
        return KVTRELAY_E_NOMEMORY;
    // A resumed transfer must answer 206; the library refuses a whole file sent instead, and
    // a server may also refuse the range itself.
    if (offset > 0 && (rc == CURLE_RANGE_ERROR || (rc == CURLE_HTTP_RETURNED_ERROR && code == 416) ||
                       (rc == CURLE_OK && code != 206))) {
        m_rangeRefused = true;
        m_error = "the server did not resume at byte " + std::to_string(offset) + " (HTTP status " +
                  std::to_string(code) + ")";
        return KVTRELAY_E_DOWNLOAD;
    }
    if (rc == CURLE_OK)
        return KVTRELAY_S_OK;
    // Only a redirect can bring another scheme here: the first URL was checked before.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && m_settings.httpsLevel >= 2) {
        m_error = "redirect to plain http refused by httpslevel";
        return KVTRELAY_E_INSECURE;
    }
    std::string text = m_curlError[0] ? m_curlError : curl_easy_strerror(rc);
    if (rc == CURLE_HTTP_RETURNED_ERROR)
        m_error = "HTTP status " + std::to_string(code);
    else if (rc == CURLE_PEER_FAILED_VERIFICATION)
        m_error = "TLS verification failed: " + text;
    else if (rc == CURLE_OPERATION_TIMEDOUT)
        m_error = "transfer too slow or too long: " + text;
    else
        m_error = text;
    return KVTRELAY_E_DOWNLOAD;
}

}  // namespace kvtrelay
