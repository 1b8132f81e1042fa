#pragma once
/// Files in folders others may write: a folder opened once without following a link and used
/// through its descriptor, and files made there under unpredictable names and renamed into
/// place, so that a link planted in the folder redirects nothing.

#include <string>
#include <vector>

#include <sys/types.h>

namespace fdio {

/// An owned descriptor, closed when it goes.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    CFd(CFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    /// Gives up the descriptor without closing it.
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    /// Closes what it holds and takes fd instead.
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

/// Opens path as a folder, refusing a link in its last component; -1 with errno (ELOOP or
/// ENOTDIR when something else stands there).
int OpenFolder(const std::string& path);

/// path with a link in its last component resolved when the link belongs to this process's
/// user or to root: the operator's own link to a folder (/srv/relay -> /data/relay), which
/// OpenFolder would refuse. A link of anyone else, such as one planted in /tmp before the
/// folder was made, is left in place for OpenFolder to refuse. Links further in are not looked at.
std::string ResolveOwnLink(const std::string& path);

/// Creates a new file below dir named prefix, an unpredictable part and suffix, refusing
/// anything already there (O_CREAT | O_EXCL | O_NOFOLLOW); name receives the name made. -1
/// with errno.
int CreateUniqueAt(int dir, const std::string& prefix, const std::string& suffix, mode_t mode, std::string& name);

/// Replaces name below dir with text: written under a new name "<name>.<pid>.<random>.tmp",
/// then renamed over name, so a reader sees the old file or the new one and a link at name or
/// at any temporary name is replaced, never followed. 0 or the errno of the failing step.
int ReplaceFileAt(int dir, const std::string& name, const std::string& text, mode_t mode);

/// ReplaceFileAt in the folder part of path, that folder opened without following a link.
int ReplaceFile(const std::string& path, const std::string& text, mode_t mode);

/// The names in the folder open as dir, "." and ".." left out; empty when it cannot be read.
/// All are gathered before anything is done to them: a folder changed while it is read lists
/// unspecified names.
std::vector<std::string> NamesAt(int dir);

/// Removes name below dir when it is a regular file (a link, a folder or a device stays);
/// 0, or the errno of the failing step (EPERM when something else stands there).
int RemoveRegularAt(int dir, const std::string& name);

/// Removes the temporaries that ReplaceFile left beside path in runs that no longer run (a
/// writer killed between making and renaming one), so they never pile up.
void RemoveStaleTemporaries(const std::string& path);

/// True for a name ReplaceFileAt gave a temporary of name whose writer no longer runs.
bool IsStaleTemporary(const std::string& file, const std::string& name);

}  // namespace fdio
