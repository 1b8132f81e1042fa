#pragma once
/// Making folders: a path and its missing parents, one component at a time. The one copy for
/// the core services library (the work folder), unpacking and the relay's repository.

#include <set>
#include <string>

#include <sys/types.h>

namespace fdio {

/// Creates folders without recursion, however deep the path. Remembers what it has seen to
/// exist, so many files in few folders cost one look per folder.
class CFolderMaker {
public:
    /// Folders it creates get mode (less the umask); with exactMode they get mode exactly, so
    /// that a strange umask cannot lock the owner out. Existing folders keep their mode: they
    /// may be shared with other tools.
    explicit CFolderMaker(mode_t mode = 0755, bool exactMode = false) : m_mode(mode), m_exactMode(exactMode) {}

    /// Creates path and its missing parents; 0 (also for an empty path), or the errno of the
    /// failing step (ENOTDIR when a component exists and is not a folder).
    int Make(const std::string& path);

private:
    mode_t m_mode;
    bool m_exactMode;
    std::set<std::string> m_known;
};

/// Creates path and its missing parents with mode (less the umask). 0, ENOENT for an empty
/// path, or the errno of the failing step.
int MakeFolders(const std::string& path, mode_t mode);

/// True when path names an existing folder.
bool IsFolder(const std::string& path);

}  // namespace fdio
