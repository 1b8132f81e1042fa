// Comparing a small file of the repository with the text that would replace it.

#include "unchanged_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvtrelay {

namespace {

// Closes the descriptor however the comparison ends.
struct ReadOnlyFile {
    int fd;
    ~ReadOnlyFile()
    {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

bool FileHolds(const std::string& path, const std::string& text)
{
    // Without O_NONBLOCK, opening a FIFO put in the file's place would wait for a writer.
    ReadOnlyFile file{open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat st;
    // The size is compared first, so a changed file is mostly told apart without reading it.
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != text.size())
        return false;
    std::vector<char> buf(text.size() + 1);
    size_t got = 0;
    // One byte more than expected is asked for, so a file that grew meanwhile reads as different.
    while (got < buf.size()) {
        ssize_t n = read(file.fd, buf.data() + got, buf.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got == text.size() && memcmp(buf.data(), text.data(), text.size()) == 0;
}

}  // namespace kvtrelay
