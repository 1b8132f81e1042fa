// Making and replacing files through a folder descriptor. The names of temporaries carry the
// writer's pid, so the temporaries of a killed writer can be told from a running one's.

#include "folder_files.h"

#include "fd_write.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

namespace fdio {

namespace {

constexpr char kTempSuffix[] = ".tmp";

std::string randomPart()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

}  // namespace

void CFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

int OpenFolder(const std::string& path)
{
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string ResolveOwnLink(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()))
        return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    const std::string out(resolved);
    std::free(resolved);
    return out;
}

int CreateUniqueAt(int dir, const std::string& prefix, const std::string& suffix, mode_t mode, std::string& name)
{
    // A name someone guessed and planted only costs another try.
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = prefix + randomPart() + suffix;
        const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

int ReplaceFileAt(int dir, const std::string& name, const std::string& text, mode_t mode)
{
    std::string temp;
    CFd file(CreateUniqueAt(dir, name + "." + std::to_string(::getpid()) + ".", kTempSuffix, mode, temp));
    if (!file.IsOpen())
        return errno;
    // The umask may have taken bits away; the replaced file keeps the mode it is meant to have.
    ::fchmod(file.Get(), mode);
    int error = WriteAll(file.Get(), text.data(), text.size()) ? 0 : errno;
    if (::close(file.Release()) != 0 && !error)
        error = errno;
    if (!error && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0)
        error = errno;
    if (error)
        ::unlinkat(dir, temp.c_str(), 0);
    return error;
}

int ReplaceFile(const std::string& path, const std::string& text, mode_t mode)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    CFd dir(OpenFolder(ResolveOwnLink(folder)));
    if (!dir.IsOpen())
        return errno;
    return ReplaceFileAt(dir.Get(), slash == std::string::npos ? path : path.substr(slash + 1), text, mode);
}

void RemoveStaleTemporaries(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    CFd dir(OpenFolder(ResolveOwnLink(folder)));
    if (!dir.IsOpen())
        return;
    for (const std::string& file : NamesAt(dir.Get()))
        if (IsStaleTemporary(file, name))
            RemoveRegularAt(dir.Get(), file);
}

std::vector<std::string> NamesAt(int dir)
{
    std::vector<std::string> names;
    // closedir closes the descriptor it reads through, so it gets a copy of its own.
    const int copy = ::dup(dir);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    ::rewinddir(listing);
    while (struct dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

int RemoveRegularAt(int dir, const std::string& name)
{
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EPERM;
    return ::unlinkat(dir, name.c_str(), 0) == 0 ? 0 : errno;
}

bool IsStaleTemporary(const std::string& file, const std::string& name)
{
    const std::string prefix = name + ".";
    const size_t suffixLength = sizeof kTempSuffix - 1;
    if (file.size() <= prefix.size() + suffixLength || file.compare(0, prefix.size(), prefix) != 0 ||
        file.compare(file.size() - suffixLength, suffixLength, kTempSuffix) != 0)
        return false;
    char* end = nullptr;
    const long pid = std::strtol(file.c_str() + prefix.size(), &end, 10);
    if (end == file.c_str() + prefix.size() || (*end != '.' && end != file.c_str() + file.size() - suffixLength) ||
        pid <= 0)
        return false;
    // EPERM means the process exists under another user.
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace fdio
