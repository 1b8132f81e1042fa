// Owner-only permissions for the agent's private files and folders.

#include "secure_file.h"

#include <sys/stat.h>

namespace VkaCore {

bool SecureFileOrDirectory(const wxString& path, bool /*recursive*/)
{
    const wxScopedCharBuffer name = path.fn_str();
    if (!name.data() || !*name.data())
        return false;
    struct stat st;
    // lstat: a link is left alone rather than tightening whatever it points at.
    if (::lstat(name.data(), &st) != 0 || S_ISLNK(st.st_mode))
        return false;
    return ::chmod(name.data(), S_ISDIR(st.st_mode) ? 0700 : 0600) == 0;
}

}  // namespace VkaCore
