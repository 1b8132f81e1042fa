// relay.log: the repository's record of what failed and why.
#include "relay_log.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd_write.h"
#include "file_paths.h"
#include "regular_file.h"
#include "folders.h"
#include "relay_contract.h"

namespace kvtrelay {

namespace {

std::string utcStamp()
{
    time_t now = time(nullptr);
    struct tm tm;
    char text[32];
    if (!gmtime_r(&now, &tm) || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return "-";
    return text;
}

}  // namespace

void AppendRelayLog(const std::string& repository, const std::string& line)
{
    if (!fdio::IsFolder(repository))
        return;
    std::string text = utcStamp() + " " + line + "\n";
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f)
            text[i] = ' ';
    std::string path = JoinPath(repository, contract::kRelayLog);
    int saved = errno;
    struct stat st;
    // Rotating keeps the file below its limit and the previous lines one file further.
    if (lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) + text.size() >= kRelayLogLimit)
        rename(path.c_str(), JoinPath(repository, contract::kRelayLogOld).c_str());
    // Never through a link, and only into a regular file: the repository may be writable by
    // others, and the lines must not land in a file they chose.
    int fd = -1;
    if (fdio::OpenRegularFile(path, fd, st, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW) == fdio::OpenResult::Opened) {
        fdio::WriteAll(fd, text.data(), text.size());  // one write: lines of two processes do not mix
        close(fd);
    }
    errno = saved;
}

}  // namespace kvtrelay
