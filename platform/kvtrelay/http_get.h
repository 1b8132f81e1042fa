#pragma once
// One GET of a file of an http(s) source, as the transport (transport.h) asks it of either of
// its two clients: the relay's own for plain http (plain_http.h), the transfer library for https
// and proxies (curl_http.h). Both answer through HttpResult, with the same words for the same
// failure, and keep every transfer within the same limits.

#include <cstdint>
#include <functional>
#include <string>

#include "kept_index.h"

namespace kvtrelay {

/// Receives the bytes of a file in order; returns false to stop the transfer.
using DataSink = std::function<bool(const char* data, size_t size)>;

/// What keeps every http(s) transfer finite: it fails when it moves fewer than minRate bytes per
/// second over window seconds, or when it takes longer than baseSeconds plus the bytes it asks
/// for at deadlineRate bytes per second.
struct TransferLimits {
    long minRate = 1024;
    long window = 30;
    long baseSeconds = 120;
    uint64_t deadlineRate = 8192;
};

/// The limits transfers use from now on; the defaults above unless tests set others.
void SetTransferLimits(const TransferLimits& limits);
TransferLimits GetTransferLimits();

struct TransportSettings {
    int64_t maxBandwidth = 0;  ///< bytes per second; 0 or less is unlimited
    int64_t httpsLevel = 0;    ///< 0 any scheme, 1 prefer https, 2 https only
};

/// The limits of one transfer: the current TransferLimits, lowered to fit a bandwidth limit.
struct TransferBounds {
    long minRate;      ///< bytes per second on average over window, at least
    long window;       ///< seconds
    uint64_t seconds;  ///< the whole transfer's time allowed
    long readSize;     ///< bytes taken from the network at a time
};
const long kConnectSeconds = 30;
TransferBounds BoundsFor(const TransportSettings& settings, uint64_t expected);

struct HttpGet {
    std::string url;
    uint64_t offset = 0;                  ///< asks for the bytes from here on; only a 206 passes them
    uint64_t expected = 0;                ///< bytes asked for, which the time allowed grows with
    const KeptIndex* kept = nullptr;      ///< asks with this copy's validators; a 304 passes no bytes
};

struct HttpResult {
    int32_t status = 0;          ///< KVTRELAY_S_OK, E_DOWNLOAD, E_INSECURE or E_NOMEMORY
    long code = 0;               ///< the last answer's HTTP status, 0 when none came
    bool stopped = false;        ///< the sink stopped the transfer
    bool rangeRefused = false;   ///< the server would not start at the offset; nothing was passed on
    std::string etag, lastModified;  ///< validators of the last answer
    std::string error;           ///< why it failed
};

/// A client that reads files of http(s) sources.
class CHttpClient {
public:
    virtual ~CHttpClient() = default;
    /// Fills result; data of a successful answer go to sink, in order.
    virtual void Get(const HttpGet& get, const DataSink& sink, HttpResult& result) = 0;
};

/// The failures both clients word alike.
void FailWithStatus(HttpResult& result, long code);
void FailRange(HttpResult& result, uint64_t offset, long code);

}  // namespace kvtrelay
