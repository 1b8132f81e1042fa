// What may be written below a folder, and writing it: the safety rule, the free-space check
// and the temporary-then-rename write of one file.

#include "zip_archive.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ziparchive {

namespace {

// A large copy buffer keeps the per-call overhead of write() out of the way; inflating is
// what the time goes into.
constexpr size_t kCopyBuffer = 256 * 1024;

// Temporary files are named <prefix><pid>-XXXXXX: a process killed while unpacking leaves
// its temporary behind, and the pid tells the next extraction into that folder whether the
// writer is gone (then the file is rubbish) or may still be at work.
constexpr char kTempPrefix[] = ".vka-unzip-";

bool isDriveLetter(const std::string& name)
{
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

}  // namespace

std::string RefusalReason(const Entry& entry)
{
    const std::string& name = entry.name;
    if (name.size() >= PATH_MAX)
        return "name of " + std::to_string(name.size()) + " bytes is longer than the path limit";
    if (name.empty())
        return "empty name";
    if (name[0] == '/')
        return "absolute name";
    if (isDriveLetter(name))
        return "drive letter";
    // Archives are "/"-separated; a backslash is either a foreign separator or a character no
    // file of ours carries, and each reading of it would put the file somewhere else.
    if (name.find('\\') != std::string::npos)
        return "backslash in name";
    bool namesSomething = false;
    size_t start = 0;
    while (start < name.size()) {
        size_t stop = name.find('/', start);
        if (stop == std::string::npos)
            stop = name.size();
        const size_t length = stop - start;
        if (length == 2 && name.compare(start, 2, "..") == 0)
            return "\"..\" component";
        if (length > 0 && !(length == 1 && name[start] == '.'))
            namesSomething = true;
        start = stop + 1;
    }
    if (!namesSomething)
        return "name leads to no file below the folder";
    if (entry.isSymlink)
        return "symbolic link";
    return std::string();
}

const Entry* FirstRefused(const std::vector<Entry>& entries, std::string& reason)
{
    for (const Entry& e : entries) {
        reason = RefusalReason(e);
        if (!reason.empty())
            return &e;
    }
    return nullptr;
}

std::string ShownName(const std::string& name)
{
    const size_t kShown = 200;
    if (name.size() <= kShown)
        return name;
    return name.substr(0, kShown) + "... (" + std::to_string(name.size()) + " bytes)";
}

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool FreeSpace(const std::string& folder, std::uint64_t& available, int& error)
{
    // A destination that does not exist yet lands on the file system of its nearest parent.
    std::string path = folder.empty() ? "." : folder;
    for (;;) {
        struct statvfs st;
        if (::statvfs(path.c_str(), &st) == 0) {
            available = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
            return true;
        }
        const std::string parent = ParentOf(path);
        if (errno != ENOENT || parent == path) {
            error = errno;
            return false;
        }
        path = parent;
    }
}

void RemoveStaleTemporaries(const std::string& folder)
{
    const size_t prefixLength = sizeof kTempPrefix - 1;
    std::vector<std::string> stale;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (struct dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (std::strncmp(name, kTempPrefix, prefixLength) != 0)
            continue;
        char* end = nullptr;
        errno = 0;
        long pid = std::strtol(name + prefixLength, &end, 10);
        if (errno != 0 || end == name + prefixLength || *end != '-' || pid <= 0)
            continue;
        // EPERM means the process exists under another user: not ours to judge.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        stale.push_back(folder + "/" + name);
    }
    ::closedir(dir);
    for (const std::string& path : stale)
        ::unlink(path.c_str());
}

CFileWriter::CFileWriter() : m_buffer(new char[kCopyBuffer]) {}

Outcome CFileWriter::Write(CArchive& archive, const Entry& entry, const std::string& target, int& error,
                           std::string& reason)
{
    const std::string folder = ParentOf(target);
    if (m_swept.insert(folder).second)
        RemoveStaleTemporaries(folder);
    std::string temp = folder + "/" + kTempPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = errno;
        return Outcome::WriteFailed;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    temp.assign(name.data());

    Outcome outcome = archive.Copy(entry, fd, m_buffer.get(), kCopyBuffer, error, reason);
    if (outcome == Outcome::Ok) {
        ::fchmod(fd, static_cast<mode_t>(entry.mode != 0 ? entry.mode : 0644));
        if (entry.mtime > 0) {
            struct timespec times[2];
            times[0].tv_sec = times[1].tv_sec = entry.mtime;
            times[0].tv_nsec = times[1].tv_nsec = 0;
            ::futimens(fd, times);
        }
    }
    if (::close(fd) != 0 && outcome == Outcome::Ok) {
        error = errno;
        outcome = Outcome::WriteFailed;
    }
    if (outcome == Outcome::Ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        outcome = Outcome::WriteFailed;
    }
    if (outcome != Outcome::Ok)
        ::unlink(temp.c_str());
    return outcome;
}

}  // namespace ziparchive
