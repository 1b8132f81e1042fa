// The readiness pipe of a daemon start. The start command waits on it until the first worker's
// init has returned 0, so a service manager that sees the command succeed knows the application
// runs; when the worker ends first, the command shows why and fails.
#include "readiness.h"

#include "fd_write.h"
#include "log2disk.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

// A longer text is cut: the whole of it is in the log.
constexpr uint32_t kMaxText = 64 * 1024;

bool readWhole(int fd, void* into, size_t size)
{
    char* bytes = static_cast<char*>(into);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool readMessage(int fd, char& kind, std::string& text)
{
    uint32_t length = 0;
    if (!readWhole(fd, &kind, 1) || !readWhole(fd, &length, sizeof length) || length > kMaxText)
        return false;
    text.assign(length, '\0');
    return length == 0 || readWhole(fd, &text[0], length);
}

void writeStderr(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

bool SendReadiness(int fd, ReadinessKind kind, const std::string& text)
{
    if (fd < 0)
        return false;
    const uint32_t length = text.size() < kMaxText ? static_cast<uint32_t>(text.size()) : kMaxText;
    std::string message(1, static_cast<char>(kind));
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(text, 0, length);
    return fdio::WriteAll(fd, message.data(), message.size());
}

int AwaitReadiness(int fd, const wxString& appName, const wxString& logFile)
{
    const std::string name(appName.utf8_str());
    std::string luaError;
    char kind = 0;
    std::string text;
    int code = 1;
    std::string reason = "the daemon ended before its application started";
    while (readMessage(fd, kind, text)) {
        if (kind == static_cast<char>(ReadinessKind::Started)) {
            code = 0;
            break;
        }
        if (kind == static_cast<char>(ReadinessKind::PidFileError))
            VkaCore::WriteTerminalLine("ERROR", text);
        else if (kind == static_cast<char>(ReadinessKind::StartFailed))
            luaError = text;
        else if (kind == static_cast<char>(ReadinessKind::WorkerEnded)) {
            reason = text;
            break;
        }
    }
    close(fd);
    if (code == 0)
        return 0;
    // The Lua error as the worker printed it, then how the worker ended.
    if (!luaError.empty())
        writeStderr(luaError.back() == '\n' ? luaError : luaError + "\n");
    writeStderr(name + " did not start: " + reason + " (log: " + std::string(logFile.utf8_str()) + ")\n");
    return code;
}
