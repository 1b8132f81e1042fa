#pragma once
/// Opening a file that must be a regular file, without ever blocking on what stands in its
/// place: the one copy for every reader of ours that opens files others may have put there.

#include <string>

#include <sys/stat.h>
#include <sys/types.h>

namespace fdio {

/// What an attempt to open a regular file came to.
enum class OpenResult {
    Opened,     ///< fd is open for reading, in blocking mode
    Failed,     ///< the system refused; errno tells why
    NotRegular  ///< something else stands there; st.st_mode tells what (S_IFLNK for a link refused by O_NOFOLLOW)
};

/// Opens path for reading without blocking on a FIFO and without opening a device at all. On
/// Opened, fd is blocking again and st describes the file. flags adds open flags: O_NOFOLLOW
/// also refuses a link in the last component; O_WRONLY or O_RDWR open it for writing, and
/// O_CREAT creates a missing file with mode.
OpenResult OpenRegularFile(const std::string& path, int& fd, struct stat& st, int flags = 0, mode_t mode = 0644);

/// The same for name below the folder open as dir (AT_FDCWD for the current folder).
OpenResult OpenRegularFileAt(int dir, const std::string& name, int& fd, struct stat& st, int flags = 0,
                             mode_t mode = 0644);

/// What kind of file mode names, for messages: "a folder", "a FIFO", "a symbolic link", ...
const char* KindOf(mode_t mode);

}  // namespace fdio
