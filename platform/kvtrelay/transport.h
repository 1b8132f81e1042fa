#pragma once
// Reading files of an update source: a local folder (absolute path or file:// URL) or an
// http:// or https:// URL, with the proxy, bandwidth and https settings of the context.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "curl_http.h"
#include "http_get.h"
#include "kept_index.h"
#include "kvtrelay.h"

namespace kvtrelay {

/// Takes a local file's bytes straight from its descriptor, so that the kernel can copy them
/// without passing them through the process: moves up to len bytes from fd (at its offset on)
/// and returns how many moved, 0 at the end of the file, kCopyStopped to end the transfer, or
/// kCopyUnsupported, before anything moved, when it cannot copy from this file; the bytes then
/// go to the data sink instead.
using CopySink = std::function<int64_t(int fd, size_t len)>;
const int64_t kCopyStopped = -1;
const int64_t kCopyUnsupported = -2;

class CTransport {
public:
    explicit CTransport(const TransportSettings& settings);
    ~CTransport();
    CTransport(const CTransport&) = delete;
    CTransport& operator=(const CTransport&) = delete;

    /// Offers a copy of an index kept from an earlier run: when Open reads the index from the
    /// same url over http(s), it asks the server whether it changed, and takes the copy on 304.
    void OfferKeptIndex(const KeptIndex& kept) { m_offered = kept; }
    /// The index Open read over http(s), with the server's validators, to be kept for the next
    /// run; its url is empty after a folder source or a server that sent no validator.
    const KeptIndex& IndexToKeep() const { return m_toKeep; }
    /// True when the server answered that the offered copy is still current.
    bool IndexUnchanged() const { return m_unchanged; }

    /// Chooses the source and reads its index text. Status: KVTRELAY_S_OK, or
    /// E_SCHEME, E_INSECURE, E_SOURCE (unreadable), E_INDEX (too large), E_NOMEMORY.
    int32_t Open(const KVTRELAY_Source& source, std::string& indexText);

    /// Streams the file at relative (inside the opened source) into sink, from byte offset on;
    /// expected is the size the caller knows of (for the time allowed). Status: S_OK, or
    /// E_DOWNLOAD when the transfer failed or the sink stopped it (stopped tells which).
    /// A failure leaves its reason in Error(). From a folder source without a bandwidth limit,
    /// copy (when given) takes the bytes instead of sink.
    int32_t Fetch(const std::string& relative, const DataSink& sink, bool& stopped, uint64_t offset = 0,
                  uint64_t expected = 0, const CopySink* copy = nullptr);

    /// Why the last Fetch or Open failed: an HTTP status, a transfer, TLS or system error text.
    const std::string& Error() const { return m_error; }
    /// True when the last Fetch asked for an offset that the source would not start from (a
    /// server that ignores ranges, or a file now shorter than the offset); nothing was passed on.
    bool RangeRefused() const { return m_rangeRefused; }

    /// Where the opened source is, for messages and tests.
    const std::string& Base() const { return m_base; }
    /// The url or path of a file of the opened source, for messages.
    std::string Location(const std::string& relative) const;

private:
    int32_t fetchLocal(const std::string& path, const DataSink& sink, bool& stopped, uint64_t offset,
                       const CopySink* copy);
    bool copyLocal(int fd, const CopySink& copy, bool& stopped, int32_t& status);
    int32_t fetchHttp(const HttpGet& get, const DataSink& sink, bool& stopped);
    CHttpClient* clientFor(const std::string& url);
    CHttpClient* secureClient();
    int32_t readIndex(std::string& text);
    int32_t fetchIndexConditionally(const DataSink& sink, bool& stopped, std::string& text);

    TransportSettings m_settings;
    bool m_http = false;
    std::string m_base;  // folder path or URL without a trailing "/"
    ProxySettings m_proxy;
    // Plain http without a proxy is read by the relay's own client; https and proxies by the
    // transfer library, made only when a url needs it.
    std::unique_ptr<CHttpClient> m_plain, m_secure;
    const KeptIndex* m_askWith = nullptr;  // validators of the index being read, if any
    HttpResult m_answer;                   // the last http(s) answer
    std::string m_error;
    bool m_rangeRefused = false;
    std::vector<char> m_buffer;
    KeptIndex m_offered, m_toKeep;
    bool m_unchanged = false;
};

/// Turns a file:// URL or an absolute path into a folder path; false for anything else.
bool LocalSourcePath(const std::string& url, std::string& path);

}  // namespace kvtrelay
