#pragma once
// The transfer library behind the http client seam (http_get.h): https, and http through a
// proxy record. The library is loaded by the first transfer that needs it, not with the relay:
// with its own dependencies it costs more to load than an unchanged run over plain http does
// in all (plain_http.h serves those).

#include <cstdint>
#include <memory>
#include <string>

#include "http_get.h"

namespace kvtrelay {

/// A source's proxy record, in the transfer library's terms.
struct ProxySettings {
    int type = -1;  ///< -1 none, 0 http, 1 socks5 (the proxy resolves names)
    std::string host, user, password;
    uint16_t port = 0;
};

/// One kept-alive handle of the transfer library for every file of an operation.
class CCurlHttpClient : public CHttpClient {
public:
    CCurlHttpClient(const TransportSettings& settings, const ProxySettings& proxy);
    ~CCurlHttpClient() override;
    CCurlHttpClient(const CCurlHttpClient&) = delete;
    CCurlHttpClient& operator=(const CCurlHttpClient&) = delete;

    void Get(const HttpGet& get, const DataSink& sink, HttpResult& result) override;

private:
    bool setUpHandle(const HttpGet& get, HttpResult& result);

    TransportSettings m_settings;
    ProxySettings m_proxy;
    void* m_curl = nullptr;
    char m_curlError[256];
};

/// Ends the transfer library's global state if a transfer started it; the relay's last
/// shutdown calls it. The next transfer that needs the library starts it again.
void StopTransferLibrary();

}  // namespace kvtrelay
