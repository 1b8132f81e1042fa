// Making a folder path: back to the deepest folder that exists, then forward creating the
// rest. A folder another process makes meanwhile is as good as one made here.

#include "folders.h"

#include <cerrno>
#include <vector>

#include <sys/stat.h>

namespace fdio {

int CFolderMaker::Make(const std::string& path)
{
    if (path.empty() || m_known.count(path))
        return 0;
    // The ends of the components, shortest first.
    std::vector<size_t> ends;
    for (size_t pos = 1; pos <= path.size(); ++pos)
        if ((pos == path.size() || path[pos] == '/') && path[pos - 1] != '/')
            ends.push_back(pos);
    size_t first = ends.size();
    while (first > 0) {
        const std::string part = path.substr(0, ends[first - 1]);
        if (m_known.count(part))
            break;
        struct stat st;
        if (::stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return ENOTDIR;
            m_known.insert(part);
            break;
        }
        if (errno != ENOENT)
            return errno;
        --first;
    }
    for (size_t i = first; i < ends.size(); ++i) {
        const std::string part = path.substr(0, ends[i]);
        if (::mkdir(part.c_str(), m_mode) == 0) {
            if (m_exactMode)
                ::chmod(part.c_str(), m_mode);
        } else {
            const int error = errno;
            struct stat st;
            if (error != EEXIST)
                return error;
            if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return ENOTDIR;
        }
        m_known.insert(part);
    }
    m_known.insert(path);
    return 0;
}

int MakeFolders(const std::string& path, mode_t mode)
{
    return path.empty() ? ENOENT : CFolderMaker(mode).Make(path);
}

bool IsFolder(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace fdio
