#pragma once
// The relay's own client for plain http without a proxy, behind the http client seam
// (http_get.h): one kept-alive connection, GET with a range and the kept index's validators,
// bodies framed by length, by chunks or by the end of the connection, and redirects. It exists
// so that a run over plain http never loads the transfer library (curl_http.h), whose loading
// alone costs more than an unchanged run's whole work; a redirect to https is handed to it.

#include <functional>
#include <memory>
#include <string>

#include "http_get.h"

namespace kvtrelay {

class CPace;
struct PlainUrl;
struct PlainAnswer;

class CPlainHttpClient : public CHttpClient {
public:
    /// secure gives the client that takes a redirect to https; null when out of memory.
    CPlainHttpClient(const TransportSettings& settings, std::function<CHttpClient*()> secure);
    ~CPlainHttpClient() override;
    CPlainHttpClient(const CPlainHttpClient&) = delete;
    CPlainHttpClient& operator=(const CPlainHttpClient&) = delete;

    void Get(const HttpGet& get, const DataSink& sink, HttpResult& result) override;

    /// True for a url this client reads: http:// without credentials in it.
    static bool Speaks(const std::string& url);

private:
    bool reserveBuffer(size_t readSize);
    void handOff(const HttpGet& get, const std::string& url, const DataSink& sink, HttpResult& result);
    void takeAnswer(const PlainAnswer& answer, const HttpGet& get, const DataSink& sink, CPace& pace,
                    HttpResult& result);
    bool exchange(const PlainUrl& url, const HttpGet& get, CPace& pace, PlainAnswer& answer, HttpResult& result);
    bool connectTo(const PlainUrl& url, CPace& pace, HttpResult& result);
    bool waitFor(short events, CPace& pace, HttpResult& result);
    bool sendAll(const std::string& text, CPace& pace, HttpResult& result);
    long readMore(CPace& pace, HttpResult& result);
    bool readLine(std::string& line, CPace& pace, HttpResult& result);
    bool readHead(PlainAnswer& answer, CPace& pace, HttpResult& result);
    bool passBytes(uint64_t count, const DataSink& sink, CPace& pace, HttpResult& result);
    bool passChunks(const DataSink& sink, CPace& pace, HttpResult& result);
    bool passBody(const PlainAnswer& answer, const DataSink& sink, CPace& pace, HttpResult& result);
    void skipBody(const PlainAnswer& answer, CPace& pace);
    void closeConnection();

    TransportSettings m_settings;
    std::function<CHttpClient*()> m_secure;
    int m_fd = -1;
    std::string m_host, m_port;  // where the open connection goes
    bool m_peerClosed = false;   // the last failure was the server closing the connection
    // Received and not yet taken: [m_begin, m_end) of m_size bytes, left unfilled so that only
    // the pages an answer reaches are touched.
    std::unique_ptr<char[]> m_in;
    size_t m_size = 0, m_begin = 0, m_end = 0;
    size_t m_readSize = 0;
};

}  // namespace kvtrelay
