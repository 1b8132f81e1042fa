// Unpacking ZIP archives: safety check of the whole entry list first, then one entry at a
// time into a temporary file that is renamed into place once its data checked out.

#include "unzip.h"

#include "fd_write.h"

#include "zip_directory.h"

#include <wx/log.h>
#include <wx/wfstream.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VkaCore {

namespace {

// A large copy buffer keeps the per-call overhead of the streams and of write() out of the
// way; inflating is what the time goes into. The archive itself is read through the C
// library's default buffer: the framework seeks once or twice per entry, and a larger
// buffer would only be refilled more expensively after every seek.
constexpr size_t kCopyBuffer = 256 * 1024;

// Temporary files are named <prefix><pid>-XXXXXX: a process killed while unpacking leaves
// its temporary behind, and the pid tells the next extraction into that folder whether the
// writer is gone (then the file is rubbish) or may still be at work.
constexpr char kTempPrefix[] = ".vka-unzip-";

wxString fromBytes(const std::string& s) {
    wxString out = wxString::FromUTF8(s.data(), s.size());
    if (out.empty() && !s.empty())
        out = wxString::From8BitData(s.data(), s.size());
    return out;
}

std::string toBytes(const wxString& s) {
    const wxScopedCharBuffer buf = s.fn_str();
    return buf.data() ? std::string(buf.data(), buf.length()) : std::string();
}

std::string parentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Creates path and its missing parents; known holds folders already seen to exist, so
// an archive of many files in few folders costs one stat per folder.
bool makeFolders(const std::string& path, std::set<std::string>& known, int& error) {
    if (path.empty() || known.count(path))
        return true;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            known.insert(path);
            return true;
        }
        error = ENOTDIR;
        return false;
    }
    std::string parent = parentOf(path);
    if (parent != path && !makeFolders(parent, known, error))
        return false;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    known.insert(path);
    return true;
}

enum class EntryResult { Ok, WriteFailed, Damaged };

// Unpacks the opened entry to target: data into a temporary file beside it, permissions
// and time stamp set, then renamed over target. On any failure the temporary file goes
// and target is untouched.
EntryResult extractFile(wxZipInputStream& zip, wxZipEntry& entry, const std::string& target,
                        char* buffer, int& error) {
    std::string temp = parentOf(target) + "/" + kTempPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = errno;
        return EntryResult::WriteFailed;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    temp.assign(name.data());

    EntryResult result = EntryResult::Ok;
    {
        wxLogNull quiet; // the stream reports damage in its own words; we report our own
        if (!zip.OpenEntry(entry)) {
            result = EntryResult::Damaged;
        } else {
            for (;;) {
                zip.Read(buffer, kCopyBuffer);
                size_t got = zip.LastRead();
                if (got > 0 && !WriteAll(fd, buffer, got)) {
                    error = errno;
                    result = EntryResult::WriteFailed;
                    break;
                }
                if (!zip.IsOk())
                    break;
            }
            // A clean end of entry is EOF; a CRC or length mismatch, or a truncated
            // archive, leaves a read error.
            if (result == EntryResult::Ok && zip.GetLastError() != wxSTREAM_EOF)
                result = EntryResult::Damaged;
            zip.CloseEntry();
        }
    }

    if (result == EntryResult::Ok) {
        int mode = entry.GetMode() & 0777;
        if (mode == 0)
            mode = 0644;
        ::fchmod(fd, static_cast<mode_t>(mode));
        wxDateTime when = entry.GetDateTime();
        if (when.IsValid()) {
            struct timespec times[2];
            times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when.GetTicks());
            times[0].tv_nsec = times[1].tv_nsec = 0;
            ::futimens(fd, times);
        }
    }
    if (::close(fd) != 0 && result == EntryResult::Ok) {
        error = errno;
        result = EntryResult::WriteFailed;
    }
    if (result == EntryResult::Ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        result = EntryResult::WriteFailed;
    }
    if (result != EntryResult::Ok)
        ::unlink(temp.c_str());
    return result;
}

// Deletes the temporaries in folder that were left by processes which no longer run.
void removeStaleTemporaries(const std::string& folder) {
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

wxString folderOf(const wxFileName& folder) {
    wxString path = folder.GetFullPath();
    if (!folder.GetFullName().empty() && !wxDirExists(path))
        path = folder.GetPath();
    while (path.length() > 1 && path.Last() == '/')
        path.RemoveLast();
    return path;
}

} // namespace

bool Unzip(const wxFileName& source, const wxFileName& folder, UnzipCallback callback, void* context) {
    const wxString archive = source.GetFullPath();
    const wxString target = folderOf(folder);
    const std::string archiveBytes = toBytes(archive);

    FILE* fp = ::fopen(archiveBytes.c_str(), "rb");
    if (!fp) {
        int err = errno;
        wxLogWarning("Cannot open archive '%s': %s", archive, wxSysErrorMsgStr(err));
        return false;
    }
    ::fcntl(fileno(fp), F_SETFD, FD_CLOEXEC);

    // The raw entry list, read before anything is called or written: the framework's
    // entries have leading slashes stripped already, so absolute names show only here.
    std::vector<ZipDirectoryEntry> raw;
    std::string problem;
    if (!ReadZipDirectory(fileno(fp), raw, problem)) {
        ::fclose(fp);
        wxLogWarning("Damaged archive '%s': %s", archive, problem);
        return false;
    }
    for (const ZipDirectoryEntry& e : raw) {
        if (!IsSafeZipEntry(e)) {
            ::fclose(fp);
            wxLogWarning("Refusing archive '%s': unsafe entry '%s'", archive, fromBytes(e.name));
            return false;
        }
    }

    if (raw.empty()) {
        ::fclose(fp);
        return true; // an empty archive: nothing to ask about, nothing to write
    }

    wxFFileInputStream file(fp); // owns fp from here on
    wxZipInputStream zip(file);
    std::vector<std::unique_ptr<wxZipEntry>> entries;
    bool listed;
    {
        wxLogNull quiet;
        for (;;) {
            wxZipEntry* entry = zip.GetNextEntry();
            if (!entry)
                break;
            entries.emplace_back(entry);
        }
        listed = zip.GetLastError() == wxSTREAM_EOF;
    }
    if (!listed || entries.size() != raw.size()) {
        wxLogWarning("Damaged archive '%s': unreadable entry list", archive);
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        // A name the framework could not represent would land on the folder itself.
        if (entries[i]->GetInternalName().empty() && !entries[i]->IsDir()) {
            wxLogWarning("Refusing archive '%s': unsafe entry '%s'", archive, fromBytes(raw[i].name));
            return false;
        }
    }

    std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
    std::set<std::string> knownFolders;
    std::set<std::string> sweptFolders;
    bool ok = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        wxZipEntry& entry = *entries[i];
        const wxString name = entry.GetName(wxPATH_UNIX);
        const wxString path = target + "/" + name;
        if (callback && !callback(context, &entry, &path))
            continue;

        const std::string internal = toBytes(entry.GetInternalName());
        const std::string dest = toBytes(target) + "/" + internal;
        int error = 0;
        if (entry.IsDir()) {
            if (!makeFolders(dest, knownFolders, error)) {
                wxLogError("Cannot create folder '%s' from archive '%s': %s", path, archive,
                           wxSysErrorMsgStr(error));
                ok = false;
            }
            continue;
        }
        if (!makeFolders(parentOf(dest), knownFolders, error)) {
            wxLogError("Cannot create folder for '%s' from archive '%s': %s", path, archive,
                       wxSysErrorMsgStr(error));
            ok = false;
            continue;
        }
        const std::string destFolder = parentOf(dest);
        if (sweptFolders.insert(destFolder).second)
            removeStaleTemporaries(destFolder);
        EntryResult result = extractFile(zip, entry, dest, buffer.get(), error);
        if (result == EntryResult::Damaged) {
            wxLogWarning("Damaged archive '%s': entry '%s' cannot be read", archive, name);
            return false;
        }
        if (result == EntryResult::WriteFailed) {
            wxLogError("Cannot write '%s' from archive '%s': %s", path, archive,
                       wxSysErrorMsgStr(error));
            ok = false;
        }
    }
    return ok;
}

} // namespace VkaCore
