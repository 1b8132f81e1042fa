#pragma once
// Writing a whole buffer to a descriptor: the one copy for every library of ours that writes
// with write(2) (the core services library and the relay).

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace fdio {

/// Writes all of buf, resuming after interruptions and short writes; false on an error
/// (errno tells which). With O_APPEND one call puts a whole buffer at the end of the file.
inline bool WriteAll(int fd, const char* buf, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace fdio
