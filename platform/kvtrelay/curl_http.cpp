// https and proxied http through the transfer library, loaded with dlopen by the first transfer
// that needs it.

#include "curl_http.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <strings.h>

#include <curl/curl.h>

#include "kvtrelay.h"
#include "lazy_library.h"

#ifndef KVTRELAY_CURL_LIBRARY
#define KVTRELAY_CURL_LIBRARY "libcurl.so.4"
#endif

namespace kvtrelay {

using dynload::CLazyLibrary;
using dynload::Slot;

namespace {

// The library's functions the relay calls, found by name once it is loaded.
struct CurlApi {
    CURLcode (*globalInit)(long);
    void (*globalCleanup)();
    CURL* (*easyInit)();
    void (*easyCleanup)(CURL*);
    CURLcode (*easySetopt)(CURL*, CURLoption, ...);
    CURLcode (*easyPerform)(CURL*);
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
    const char* (*easyStrerror)(CURLcode);
    curl_slist* (*slistAppend)(curl_slist*, const char*);
    void (*slistFreeAll)(curl_slist*);
};

CurlApi g_api;
CLazyLibrary g_library(KVTRELAY_CURL_LIBRARY,
                       {{"curl_global_init", Slot(g_api.globalInit)},
                        {"curl_global_cleanup", Slot(g_api.globalCleanup)},
                        {"curl_easy_init", Slot(g_api.easyInit)},
                        {"curl_easy_cleanup", Slot(g_api.easyCleanup)},
                        {"curl_easy_setopt", Slot(g_api.easySetopt)},
                        {"curl_easy_perform", Slot(g_api.easyPerform)},
                        {"curl_easy_getinfo", Slot(g_api.easyGetinfo)},
                        {"curl_easy_strerror", Slot(g_api.easyStrerror)},
                        {"curl_slist_append", Slot(g_api.slistAppend)},
                        {"curl_slist_free_all", Slot(g_api.slistFreeAll)}});
std::mutex g_startMutex;
bool g_started = false;

// Loads and starts the library once; null with the reason when it cannot.
const CurlApi* startLibrary(std::string& error)
{
    if (!g_library.Open(error)) {
        error += " (needed for https and proxies)";
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (!g_started)
        g_started = g_api.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!g_started) {
        error = "the transfer library for https and proxies did not start";
        return nullptr;
    }
    return &g_api;
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

std::string headerValue(const std::string& line, size_t nameLength)
{
    size_t start = line.find_first_not_of(" \t", nameLength);
    size_t end = line.find_last_not_of(" \t\r\n");
    return start == std::string::npos || end < start ? std::string() : line.substr(start, end - start + 1);
}

// Keeps the validators of the last answer: a redirect's are dropped when the next status line comes.
size_t curlHeader(char* data, size_t size, size_t count, void* user)
{
    HttpResult* r = static_cast<HttpResult*>(user);
    std::string line(data, size * count);
    if (strncasecmp(line.c_str(), "HTTP/", 5) == 0) {
        r->etag.clear();
        r->lastModified.clear();
    } else if (strncasecmp(line.c_str(), "ETag:", 5) == 0) {
        r->etag = headerValue(line, 5);
    } else if (strncasecmp(line.c_str(), "Last-Modified:", 14) == 0) {
        r->lastModified = headerValue(line, 14);
    }
    return size * count;
}

using HeaderList = std::unique_ptr<curl_slist, void (*)(curl_slist*)>;

// Adds If-None-Match and If-Modified-Since for the kept copy. False when out of memory.
bool appendConditions(HeaderList& headers, const KeptIndex& kept)
{
    const std::pair<const char*, const std::string*> conditions[] = {{"If-None-Match: ", &kept.etag},
                                                                     {"If-Modified-Since: ", &kept.lastModified}};
    for (const auto& c : conditions) {
        if (c.second->empty())
            continue;
        // Appending returns the list's head, which is new only for the first item.
        curl_slist* head = g_api.slistAppend(headers.get(), (c.first + *c.second).c_str());
        if (!head)
            return false;
        if (!headers)
            headers.reset(head);
    }
    return true;
}

}  // namespace

void StopTransferLibrary()
{
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (g_started)
        g_api.globalCleanup();
    g_started = false;
}

CCurlHttpClient::CCurlHttpClient(const TransportSettings& settings, const ProxySettings& proxy)
    : m_settings(settings), m_proxy(proxy)
{
    m_curlError[0] = 0;
}

CCurlHttpClient::~CCurlHttpClient()
{
    if (m_curl)
        g_api.easyCleanup(static_cast<CURL*>(m_curl));
}

bool CCurlHttpClient::setUpHandle(const HttpGet& get, HttpResult& result)
{
    const CurlApi* api = startLibrary(result.error);
    if (!api) {
        result.status = KVTRELAY_E_DOWNLOAD;
        return false;
    }
    if (!m_curl)
        m_curl = api->easyInit();
    if (!m_curl) {
        result.status = KVTRELAY_E_NOMEMORY;
        return false;
    }
    CURL* c = static_cast<CURL*>(m_curl);
    auto set = api->easySetopt;
    set(c, CURLOPT_NOSIGNAL, 1L);
    set(c, CURLOPT_FAILONERROR, 1L);
    set(c, CURLOPT_FOLLOWLOCATION, 1L);
    set(c, CURLOPT_MAXREDIRS, 5L);
    set(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect must not lead a https-only transfer back to plain http.
    set(c, CURLOPT_REDIR_PROTOCOLS_STR, m_settings.httpsLevel >= 2 ? "https" : "http,https");
    set(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    TransferBounds bounds = BoundsFor(m_settings, get.expected);
    set(c, CURLOPT_LOW_SPEED_LIMIT, bounds.minRate);
    set(c, CURLOPT_LOW_SPEED_TIME, bounds.window);
    set(c, CURLOPT_TIMEOUT, static_cast<long>(bounds.seconds));
    set(c, CURLOPT_BUFFERSIZE, bounds.readSize);
    set(c, CURLOPT_ERRORBUFFER, m_curlError);
    set(c, CURLOPT_USERAGENT, "kvtrelay/1.0");
    if (m_settings.maxBandwidth > 0)
        set(c, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(m_settings.maxBandwidth));
    if (m_proxy.type >= 0) {
        set(c, CURLOPT_PROXY, m_proxy.host.c_str());
        set(c, CURLOPT_PROXYPORT, static_cast<long>(m_proxy.port));
        set(c, CURLOPT_PROXYTYPE,
            m_proxy.type == 1 ? static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME) : static_cast<long>(CURLPROXY_HTTP));
        if (!m_proxy.user.empty()) {
            set(c, CURLOPT_PROXYUSERNAME, m_proxy.user.c_str());
            set(c, CURLOPT_PROXYPASSWORD, m_proxy.password.c_str());
        }
    } else {
        // Only the source's own proxy record counts, not the process environment.
        set(c, CURLOPT_PROXY, "");
    }
    return true;
}

void CCurlHttpClient::Get(const HttpGet& get, const DataSink& sink, HttpResult& result)
{
    result = HttpResult();
    if (!setUpHandle(get, result))
        return;
    CURL* c = static_cast<CURL*>(m_curl);
    auto set = g_api.easySetopt;
    HeaderList headers(nullptr, g_api.slistFreeAll);
    if (get.kept && !appendConditions(headers, *get.kept)) {
        result.status = KVTRELAY_E_NOMEMORY;
        return;
    }
    CurlSink s{&sink, false};
    set(c, CURLOPT_URL, get.url.c_str());
    set(c, CURLOPT_WRITEFUNCTION, curlWrite);
    set(c, CURLOPT_WRITEDATA, &s);
    set(c, CURLOPT_HEADERFUNCTION, curlHeader);
    set(c, CURLOPT_HEADERDATA, &result);
    set(c, CURLOPT_HTTPHEADER, headers.get());
    // The handle serves every file of the operation: the offset is set for each one.
    set(c, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(get.offset));
    m_curlError[0] = 0;
    CURLcode rc = g_api.easyPerform(c);
    set(c, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    result.stopped = s.stopped;
    long code = 0;
    g_api.easyGetinfo(c, CURLINFO_RESPONSE_CODE, &code);
    result.code = code;
    if (rc == CURLE_OUT_OF_MEMORY) {
        result.status = KVTRELAY_E_NOMEMORY;
        return;
    }
    // A resumed transfer must answer 206; the library refuses a whole file sent instead, and
    // a server may also refuse the range itself.
    if (get.offset > 0 && (rc == CURLE_RANGE_ERROR || (rc == CURLE_HTTP_RETURNED_ERROR && code == 416) ||
                           (rc == CURLE_OK && code != 206))) {
        FailRange(result, get.offset, code);
        return;
    }
    if (rc == CURLE_OK) {
        result.status = KVTRELAY_S_OK;
        return;
    }
    result.status = KVTRELAY_E_DOWNLOAD;
    // Only a redirect can bring another scheme here: the first URL was checked before.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && m_settings.httpsLevel >= 2) {
        result.status = KVTRELAY_E_INSECURE;
        result.error = "redirect to plain http refused by httpslevel";
        return;
    }
    std::string text = m_curlError[0] ? m_curlError : g_api.easyStrerror(rc);
    if (rc == CURLE_HTTP_RETURNED_ERROR)
        FailWithStatus(result, code);
    else if (rc == CURLE_PEER_FAILED_VERIFICATION)
        result.error = "TLS verification failed: " + text;
    else if (rc == CURLE_OPERATION_TIMEDOUT)
        result.error = "transfer too slow or too long: " + text;
    else
        result.error = text;
}

}  // namespace kvtrelay
