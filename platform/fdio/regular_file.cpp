// Opening a regular file without blocking: look, open with O_NONBLOCK, look again at what was
// opened, then make the descriptor blocking for its reader.

#include "regular_file.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace fdio {

OpenResult OpenRegularFile(const std::string& path, int& fd, struct stat& st, int flags, mode_t mode)
{
    return OpenRegularFileAt(AT_FDCWD, path, fd, st, flags, mode);
}

OpenResult OpenRegularFileAt(int dir, const std::string& name, int& fd, struct stat& st, int flags, mode_t mode)
{
    fd = -1;
    const bool noFollow = (flags & O_NOFOLLOW) != 0;
    // Look before opening: opening a FIFO waits for a writer, and opening a device may do
    // something to it. A file still to be created has nothing to look at yet.
    if (::fstatat(dir, name.c_str(), &st, noFollow ? AT_SYMLINK_NOFOLLOW : 0) == 0) {
        if (!S_ISREG(st.st_mode))
            return OpenResult::NotRegular;
    } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
        return OpenResult::Failed;
    }
    // The file may be swapped between the look and the open; O_NONBLOCK keeps even that from
    // hanging, and the second look decides.
    fd = ::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags, mode);
    if (fd < 0) {
        if (noFollow && errno == ELOOP) {
            st.st_mode = S_IFLNK;
            return OpenResult::NotRegular;
        }
        return OpenResult::Failed;
    }
    const bool looked = ::fstat(fd, &st) == 0;
    if (!looked || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        fd = -1;
        errno = error;
        return looked ? OpenResult::NotRegular : OpenResult::Failed;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return OpenResult::Opened;
}

const char* KindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

}  // namespace fdio
