#pragma once
// Copying between two files inside the kernel, where the system offers it: the bytes never pass
// through the process. Elsewhere the caller reads and writes as before.

#include <cerrno>
#include <cstddef>
#include <sys/types.h>
#include <unistd.h>

namespace fdio {

/// Copies up to len bytes from in to out, each at its own file offset, which both advance.
/// Returns the count copied, 0 at the end of in, or -1 with errno. On a system without an
/// in-kernel copy it fails with ENOSYS.
inline ssize_t CopyFileRange(int in, int out, size_t len)
{
#if defined(__linux__)
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, len, 0);
        if (n >= 0 || errno != EINTR)
            return n;
    }
#else
    (void)in;
    (void)out;
    (void)len;
    errno = ENOSYS;
    return -1;
#endif
}

/// True for the errors with which CopyFileRange says it cannot copy between these two files
/// (no such call, different file systems, a kind of file it does not handle): nothing was
/// copied, and reading and writing will do.
inline bool CopyUnsupported(int err)
{
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == EBADF ||
           err == EPERM;
}

/// True for the errors that come from the side being written (a full or read-only file system,
/// a file size limit), so that a failed copy can be reported against the right file.
inline bool WriteSideError(int err)
{
    return err == ENOSPC || err == EDQUOT || err == EFBIG || err == EROFS;
}

}  // namespace fdio
