// Plain http/1.1 over one kept-alive connection, for sources read without a proxy.

#include "plain_http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <new>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "kvtrelay.h"

namespace kvtrelay {

namespace {

using Clock = std::chrono::steady_clock;

const int kMaxRedirects = 5;
const size_t kMaxHeadBytes = 64 * 1024;  // status line and headers of one answer
const uint64_t kMaxSkippedBody = 64 * 1024;  // larger bodies of answers not passed on end the connection

bool startsWithNoCase(const std::string& s, const char* prefix)
{
    return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

bool containsNoCase(const std::string& s, const std::string& word)
{
    return std::search(s.begin(), s.end(), word.begin(), word.end(), [](char a, char b) {
               return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
           }) != s.end();
}

std::string trimmed(const std::string& s, size_t from = 0)
{
    size_t start = s.find_first_not_of(" \t", from);
    size_t end = s.find_last_not_of(" \t\r\n");
    return start == std::string::npos || end < start ? std::string() : s.substr(start, end - start + 1);
}

// Whole unsigned decimal or hexadecimal numbers only; false on anything else or overflow.
bool parseNumber(const std::string& text, int base, uint64_t& value)
{
    if (text.empty())
        return false;
    value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                   : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                                        : -1;
        if (digit < 0 || value > (UINT64_MAX - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

// A peer that closed must give an error here, not SIGPIPE, which ends a process that does not
// ignore it.
ssize_t sendWithoutSignal(int fd, const char* data, size_t size)
{
#ifdef MSG_NOSIGNAL
    return send(fd, data, size, MSG_NOSIGNAL);
#else
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    ssize_t n = send(fd, data, size, 0);
    int err = errno;
    if (n < 0 && err == EPIPE) {
        struct timespec none = {0, 0};
        sigtimedwait(&pipe, nullptr, &none);  // taken here, so unblocking does not deliver it
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
#endif
}

}  // namespace

// Where a url points: host as getaddrinfo takes it, port, the Host header, the request target.
struct PlainUrl {
    std::string host, port, authority, target;
};

// The status line and the headers that matter of one answer.
struct PlainAnswer {
    long code = 0;
    bool keepAlive = false;
    bool chunked = false;
    bool hasLength = false;
    uint64_t length = 0;
    std::string location, etag, lastModified;

    bool HasBody() const { return !(code < 200 || code == 204 || code == 304); }
};

// Ends a transfer that moves fewer than minRate bytes a second over a window, or that takes
// longer than its time allowed; says how long to wait for the network meanwhile.
class CPace {
public:
    explicit CPace(const TransferBounds& bounds)
        : m_bounds(bounds), m_start(Clock::now()), m_deadline(m_start + std::chrono::seconds(bounds.seconds)),
          m_windowStart(m_start)
    {}

    void Moved(size_t bytes)
    {
        m_windowBytes += bytes;
        m_total += bytes;
    }

    /// Milliseconds to wait now, or -1 with why when the transfer must end.
    int WaitMs(std::string& why)
    {
        Clock::time_point now = Clock::now();
        if (now >= m_deadline) {
            why = "transfer timed out after " + std::to_string(m_bounds.seconds) + " s with " +
                  std::to_string(m_total) + " bytes received";
            return -1;
        }
        Clock::time_point until = m_deadline;
        if (m_bounds.window > 0 && m_bounds.minRate > 0) {
            Clock::time_point windowEnd = m_windowStart + std::chrono::seconds(m_bounds.window);
            if (now >= windowEnd) {
                if (m_windowBytes < static_cast<uint64_t>(m_bounds.minRate) * m_bounds.window) {
                    why = "transfer too slow: fewer than " + std::to_string(m_bounds.minRate) +
                          " bytes a second over the last " + std::to_string(m_bounds.window) + " seconds";
                    return -1;
                }
                m_windowStart = now;
                m_windowBytes = 0;
                windowEnd = now + std::chrono::seconds(m_bounds.window);
            }
            until = std::min(until, windowEnd);
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
        return static_cast<int>(std::min<long long>(ms, 1000));
    }

    /// The time left for connecting: the connect limit within the transfer's own.
    Clock::time_point ConnectDeadline() const
    {
        return std::min(m_deadline, Clock::now() + std::chrono::seconds(kConnectSeconds));
    }

private:
    TransferBounds m_bounds;
    Clock::time_point m_start, m_deadline, m_windowStart;
    uint64_t m_windowBytes = 0, m_total = 0;
};

namespace {

bool parsePlainUrl(const std::string& url, PlainUrl& out)
{
    if (!startsWithNoCase(url, "http://"))
        return false;
    size_t end = url.find_first_of("/?#", 7);
    std::string authority = url.substr(7, end == std::string::npos ? std::string::npos : end - 7);
    if (authority.empty() || authority.find('@') != std::string::npos ||
        std::any_of(authority.begin(), authority.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20; }))
        return false;
    std::string host = authority, port = "80";
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        uint64_t number = 0;
        if (port.empty())
            port = "80";
        else if (!parseNumber(port, 10, number) || number == 0 || number > 65535)
            return false;
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        return false;
    std::string target = end == std::string::npos ? "/" : url.substr(end);
    target = target.substr(0, target.find('#'));
    if (target.empty() || target[0] != '/')
        target = "/" + target;
    out = PlainUrl{host, port, authority, target};
    return true;
}

// A path without "." and ".." segments, as a relative reference is resolved.
std::string withoutDotSegments(const std::string& path)
{
    std::vector<std::string> kept;
    size_t start = 1;
    for (;;) {
        size_t end = path.find('/', start);
        std::string segment = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        bool last = end == std::string::npos;
        if (segment == "..") {
            if (!kept.empty())
                kept.pop_back();
        } else if (segment != ".") {
            kept.push_back(segment);
        }
        if ((segment == "." || segment == "..") && last)
            kept.push_back("");  // "a/.." names the folder a was in
        if (last)
            break;
        start = end + 1;
    }
    std::string out;
    for (const std::string& s : kept)
        out += "/" + s;
    return out.empty() ? "/" : out;
}

// A Location header made absolute against the url it answered.
std::string resolveLocation(const PlainUrl& from, const std::string& location)
{
    if (startsWithNoCase(location, "http://") || startsWithNoCase(location, "https://"))
        return location;
    if (location.compare(0, 2, "//") == 0)
        return "http:" + location;
    std::string target = location;
    if (target.empty() || target[0] != '/') {
        std::string folder = from.target.substr(0, from.target.find('?'));
        target = folder.substr(0, folder.rfind('/') + 1) + location;
    }
    size_t query = target.find('?');
    std::string path = withoutDotSegments(target.substr(0, query));
    return "http://" + from.authority + path + (query == std::string::npos ? "" : target.substr(query));
}

// The target as it may stand in a request line: blanks and control characters, which a
// redirect may bring, are percent-encoded.
std::string requestTarget(const std::string& target)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : target) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string requestText(const PlainUrl& url, const HttpGet& get)
{
    std::string text = "GET " + requestTarget(url.target) + " HTTP/1.1\r\nHost: " + url.authority +
                       "\r\nUser-Agent: kvtrelay/1.0\r\nAccept: */*\r\n";
    if (get.offset > 0)
        text += "Range: bytes=" + std::to_string(get.offset) + "-\r\n";
    if (get.kept && !get.kept->etag.empty())
        text += "If-None-Match: " + get.kept->etag + "\r\n";
    if (get.kept && !get.kept->lastModified.empty())
        text += "If-Modified-Since: " + get.kept->lastModified + "\r\n";
    return text + "\r\n";
}

bool isRedirect(long code)
{
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

void fail(HttpResult& result, const std::string& why)
{
    result.status = KVTRELAY_E_DOWNLOAD;
    result.error = why;
}

}  // namespace

CPlainHttpClient::CPlainHttpClient(const TransportSettings& settings, std::function<CHttpClient*()> secure)
    : m_settings(settings), m_secure(std::move(secure))
{}

CPlainHttpClient::~CPlainHttpClient()
{
    closeConnection();
}

bool CPlainHttpClient::Speaks(const std::string& url)
{
    PlainUrl parsed;
    return parsePlainUrl(url, parsed);
}

void CPlainHttpClient::closeConnection()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_begin = m_end = 0;
}

void CPlainHttpClient::Get(const HttpGet& get, const DataSink& sink, HttpResult& result)
{
    result = HttpResult();
    TransferBounds bounds = BoundsFor(m_settings, get.expected);
    if (!reserveBuffer(static_cast<size_t>(bounds.readSize))) {
        result.status = KVTRELAY_E_NOMEMORY;
        return;
    }
    CPace pace(bounds);
    std::string url = get.url;
    for (int redirects = 0;; ++redirects) {
        PlainUrl parsed;
        if (!parsePlainUrl(url, parsed)) {
            handOff(get, url, sink, result);
            return;
        }
        PlainAnswer answer;
        if (!exchange(parsed, get, pace, answer, result))
            return;
        result.code = answer.code;
        if (!isRedirect(answer.code) || answer.location.empty()) {
            takeAnswer(answer, get, sink, pace, result);
            return;
        }
        skipBody(answer, pace);
        if (redirects == kMaxRedirects) {
            fail(result, "more than " + std::to_string(kMaxRedirects) + " redirects");
            return;
        }
        url = resolveLocation(parsed, answer.location);
    }
}

// Grows the receiving buffer to hold readSize bytes and the longest head; false when out of memory.
bool CPlainHttpClient::reserveBuffer(size_t readSize)
{
    m_readSize = readSize;
    size_t size = std::max(m_readSize, kMaxHeadBytes);
    if (m_size >= size)
        return true;
    std::unique_ptr<char[]> larger(new (std::nothrow) char[size]);
    if (!larger)
        return false;
    if (m_end > m_begin)
        memcpy(larger.get(), m_in.get() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
    m_in = std::move(larger);
    m_size = size;
    return true;
}

// Only a redirect brings a url this client does not speak: https goes on through the secure client.
void CPlainHttpClient::handOff(const HttpGet& get, const std::string& url, const DataSink& sink, HttpResult& result)
{
    CHttpClient* secure = m_secure();
    if (!secure) {
        result.status = KVTRELAY_E_NOMEMORY;
        return;
    }
    HttpGet rest = get;
    rest.url = url;
    secure->Get(rest, sink, result);
}

// Passes the body of a final answer on, or fails with its status or a refused range.
void CPlainHttpClient::takeAnswer(const PlainAnswer& answer, const HttpGet& get, const DataSink& sink, CPace& pace,
                                  HttpResult& result)
{
    if (answer.code >= 400 && !(get.offset > 0 && answer.code == 416)) {
        skipBody(answer, pace);
        FailWithStatus(result, answer.code);
        return;
    }
    if (get.offset > 0 && answer.code != 206) {
        closeConnection();  // the body is not wanted, and may be the whole file
        FailRange(result, get.offset, answer.code);
        return;
    }
    result.etag = answer.etag;
    result.lastModified = answer.lastModified;
    if (!passBody(answer, sink, pace, result)) {
        closeConnection();
        return;
    }
    // Bytes past the answer were never asked for: the connection is not trusted again.
    if (!answer.keepAlive || m_begin != m_end)
        closeConnection();
    result.status = KVTRELAY_S_OK;
}

// Sends the request and reads the answer's head, on the kept connection when it goes to the
// same place; a kept connection that the server closed meanwhile is replaced once.
bool CPlainHttpClient::exchange(const PlainUrl& url, const HttpGet& get, CPace& pace, PlainAnswer& answer,
                                HttpResult& result)
{
    if (m_fd >= 0 && (m_host != url.host || m_port != url.port))
        closeConnection();
    std::string request = requestText(url, get);
    for (;;) {
        bool reused = m_fd >= 0;
        if (!reused && !connectTo(url, pace, result))
            return false;
        m_peerClosed = false;
        if (sendAll(request, pace, result) && readHead(answer, pace, result))
            return true;
        closeConnection();
        if (!reused || !m_peerClosed)
            return false;
        result.error.clear();
    }
}

bool CPlainHttpClient::connectTo(const PlainUrl& url, CPace& pace, HttpResult& result)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    int rc = getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found);
    if (rc != 0) {
        fail(result, "cannot resolve host '" + url.host + "': " + gai_strerror(rc));
        return false;
    }
    std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> addresses(found, freeaddrinfo);
    Clock::time_point deadline = pace.ConnectDeadline();
    int err = ETIMEDOUT;
    for (struct addrinfo* a = found; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_fd = fd;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        err = errno;
        if (err == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            socklen_t len = sizeof err;
            if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
                break;
            if (ready == 0)
                err = ETIMEDOUT;
        }
        closeConnection();
    }
    if (m_fd < 0) {
        fail(result, "cannot connect to " + url.host + " port " + url.port + ": " + strerror(err));
        return false;
    }
    m_host = url.host;
    m_port = url.port;
    return true;
}

bool CPlainHttpClient::waitFor(short events, CPace& pace, HttpResult& result)
{
    for (;;) {
        std::string why;
        int ms = pace.WaitMs(why);
        if (ms < 0) {
            fail(result, why);
            return false;
        }
        struct pollfd p = {m_fd, events, 0};
        int ready = poll(&p, 1, ms);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            fail(result, std::string("poll: ") + strerror(errno));
            return false;
        }
    }
}

bool CPlainHttpClient::sendAll(const std::string& text, CPace& pace, HttpResult& result)
{
    size_t sent = 0;
    while (sent < text.size()) {
        if (!waitFor(POLLOUT, pace, result))
            return false;
        ssize_t n = sendWithoutSignal(m_fd, text.data() + sent, text.size() - sent);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0) {
            m_peerClosed = errno == EPIPE || errno == ECONNRESET;
            fail(result, std::string("send: ") + strerror(errno));
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Receives into the buffer's free end: the bytes added, 0 when the server closed, -1 on failure.
long CPlainHttpClient::readMore(CPace& pace, HttpResult& result)
{
    if (m_begin == m_end)
        m_begin = m_end = 0;
    if (m_end == m_size && m_begin > 0) {
        memmove(m_in.get(), m_in.get() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    size_t room = std::min(m_size - m_end, m_readSize);
    for (;;) {
        if (!waitFor(POLLIN, pace, result))
            return -1;
        ssize_t n = recv(m_fd, m_in.get() + m_end, room, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0) {
            m_peerClosed = errno == ECONNRESET;
            fail(result, std::string("recv: ") + strerror(errno));
            return -1;
        }
        if (n == 0)
            m_peerClosed = true;
        m_end += static_cast<size_t>(n);
        pace.Moved(static_cast<size_t>(n));
        return static_cast<long>(n);
    }
}

bool CPlainHttpClient::readLine(std::string& line, CPace& pace, HttpResult& result)
{
    for (;;) {
        const char* begin = m_in.get() + m_begin;
        const char* newline = static_cast<const char*>(memchr(begin, '\n', m_end - m_begin));
        if (newline) {
            line.assign(begin, newline);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            m_begin += static_cast<size_t>(newline - begin) + 1;
            return true;
        }
        if (m_end - m_begin >= kMaxHeadBytes) {
            fail(result, "a line of the answer is longer than " + std::to_string(kMaxHeadBytes) + " bytes");
            return false;
        }
        long n = readMore(pace, result);
        if (n == 0)
            fail(result, "the server closed the connection before its answer was complete");
        if (n <= 0)
            return false;
    }
}

// Reads the status line and headers, passing over interim (1xx) answers.
bool CPlainHttpClient::readHead(PlainAnswer& answer, CPace& pace, HttpResult& result)
{
    std::string line;
    size_t headBytes = 0;
    bool encoded = false;
    do {
        encoded = false;
        answer = PlainAnswer();
        if (!readLine(line, pace, result))
            return false;
        headBytes += line.size() + 2;
        // "HTTP/1.1 200 OK": the version, then three digits.
        if (!startsWithNoCase(line, "HTTP/1.") || line.size() < 12 || line[8] != ' ' ||
            !isdigit(static_cast<unsigned char>(line[9])) || !isdigit(static_cast<unsigned char>(line[10])) ||
            !isdigit(static_cast<unsigned char>(line[11]))) {
            fail(result, "not an http answer: '" + line.substr(0, 80) + "'");
            return false;
        }
        answer.code = std::stol(line.substr(9, 3));
        answer.keepAlive = line[7] != '0';
        for (;;) {
            if (!readLine(line, pace, result))
                return false;
            headBytes += line.size() + 2;
            if (headBytes > kMaxHeadBytes) {
                fail(result, "the answer's headers are longer than " + std::to_string(kMaxHeadBytes) + " bytes");
                return false;
            }
            if (line.empty())
                break;
            size_t colon = line.find(':');
            if (colon == std::string::npos || line[0] == ' ' || line[0] == '\t')
                continue;
            std::string name = line.substr(0, colon), value = trimmed(line, colon + 1);
            if (strcasecmp(name.c_str(), "Content-Length") == 0) {
                if (!parseNumber(value, 10, answer.length)) {
                    fail(result, "a Content-Length that is not a number: '" + value + "'");
                    return false;
                }
                answer.hasLength = true;
            } else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
                // An encoding frames the body instead of any length: by chunks when the last
                // is chunked, else by the end of the connection.
                encoded = true;
                answer.chunked = value.size() >= 7 && strcasecmp(value.c_str() + value.size() - 7, "chunked") == 0;
            } else if (strcasecmp(name.c_str(), "Connection") == 0) {
                if (containsNoCase(value, "close"))
                    answer.keepAlive = false;
                else if (containsNoCase(value, "keep-alive"))
                    answer.keepAlive = true;
            } else if (strcasecmp(name.c_str(), "Location") == 0) {
                answer.location = value;
            } else if (strcasecmp(name.c_str(), "ETag") == 0) {
                answer.etag = value;
            } else if (strcasecmp(name.c_str(), "Last-Modified") == 0) {
                answer.lastModified = value;
            }
        }
    } while (answer.code >= 100 && answer.code < 200);
    if (encoded)
        answer.hasLength = false;
    if (answer.HasBody() && !answer.chunked && !answer.hasLength)
        answer.keepAlive = false;
    return true;
}

bool CPlainHttpClient::passBytes(uint64_t count, const DataSink& sink, CPace& pace, HttpResult& result)
{
    while (count > 0) {
        if (m_begin == m_end) {
            long n = readMore(pace, result);
            if (n == 0)
                fail(result, "transfer closed with " + std::to_string(count) + " bytes remaining to read");
            if (n <= 0)
                return false;
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(count, m_end - m_begin));
        const char* data = m_in.get() + m_begin;
        m_begin += take;
        count -= take;
        if (!sink(data, take)) {
            result.stopped = true;
            fail(result, "stopped");
            return false;
        }
    }
    return true;
}

bool CPlainHttpClient::passChunks(const DataSink& sink, CPace& pace, HttpResult& result)
{
    std::string line;
    for (;;) {
        if (!readLine(line, pace, result))
            return false;
        uint64_t size = 0;
        if (!parseNumber(trimmed(line.substr(0, line.find(';'))), 16, size)) {
            fail(result, "a malformed chunk size: '" + line.substr(0, 80) + "'");
            return false;
        }
        if (size == 0)
            break;
        if (!passBytes(size, sink, pace, result) || !readLine(line, pace, result))
            return false;
    }
    // Trailers, up to the empty line that ends the body.
    do {
        if (!readLine(line, pace, result))
            return false;
    } while (!line.empty());
    return true;
}

bool CPlainHttpClient::passBody(const PlainAnswer& answer, const DataSink& sink, CPace& pace, HttpResult& result)
{
    if (!answer.HasBody())
        return true;
    if (answer.chunked)
        return passChunks(sink, pace, result);
    if (answer.hasLength)
        return passBytes(answer.length, sink, pace, result);
    for (;;) {
        if (m_begin < m_end) {
            size_t take = m_end - m_begin;
            const char* data = m_in.get() + m_begin;
            m_begin = m_end;
            if (!sink(data, take)) {
                result.stopped = true;
                fail(result, "stopped");
                return false;
            }
        }
        long n = readMore(pace, result);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

// Reads past a body that is not passed on when it is small, so the connection serves the next
// file; a larger one, or one without a length, ends the connection instead.
void CPlainHttpClient::skipBody(const PlainAnswer& answer, CPace& pace)
{
    bool reusable = answer.keepAlive;
    if (reusable && answer.HasBody()) {
        HttpResult ignored;
        uint64_t skipped = 0;
        DataSink discard = [&skipped](const char*, size_t size) { return (skipped += size) <= kMaxSkippedBody; };
        reusable = (answer.chunked || answer.length <= kMaxSkippedBody) && passBody(answer, discard, pace, ignored);
    }
    if (!reusable || m_begin != m_end)
        closeConnection();
}

}  // namespace kvtrelay
