#include "file_paths.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

namespace kvtrelay {

bool IsFolder(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeFolders(const std::string& path)
{
    if (path.empty())
        return ENOENT;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    // Create each missing component in turn; a component that appears meanwhile is fine.
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string part = path.substr(0, pos);
        if (part.empty() || part.back() == '/')
            continue;
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return errno;
        if (stat(part.c_str(), &st) != 0)
            return errno;
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
    }
    return 0;
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    if (folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

}  // namespace kvtrelay
