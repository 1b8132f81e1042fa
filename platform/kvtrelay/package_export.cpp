#include "package_export.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <wx/log.h>
#include <wx/wfstream.h>
#include <wx/zipstrm.h>

#include "kvtrelay.h"
#include "relay_text.h"

namespace kvtrelay {

namespace {

// The raw name as stored is what decides safety: the framework's internal name has leading
// "/" already stripped.
bool safeEntry(const wxZipEntry& entry, std::string& relative)
{
    if (entry.IsMadeByUnix()) {
        wxUint32 mode = entry.GetExternalAttributes() >> 16;
        if ((mode & S_IFMT) == S_IFLNK)
            return false;
    }
    wxString name = entry.GetInternalName();
    relative = std::string(name.utf8_str());
    if (relative.empty())
        return true;  // "." or a bare "/" entry: nothing to write
    if (relative[0] == '/' || relative.find('\\') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        if (relative.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    return true;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int32_t UnpackPackage(const std::string& package, const std::string& destination)
{
    wxLogNull quiet;  // failures are reported by status, not by the framework's log
    wxString packageName = wxString::FromUTF8(package.c_str());

    // First pass: names only, so an unsafe archive leaves the destination untouched.
    {
        wxFFileInputStream file(packageName);
        if (!file.IsOk())
            return KVTRELAY_E_EXPORT;
        wxZipInputStream zip(file, wxConvUTF8);
        if (!zip.IsOk())
            return KVTRELAY_E_EXPORT;
        std::unique_ptr<wxZipEntry> entry;
        int count = 0;
        while (entry.reset(zip.GetNextEntry()), entry) {
            std::string relative;
            if (!safeEntry(*entry, relative))
                return KVTRELAY_E_EXPORT;
            ++count;
        }
        if (zip.GetLastError() != wxSTREAM_EOF || count == 0)
            return KVTRELAY_E_EXPORT;
    }

    if (MakeFolders(destination) != 0)
        return KVTRELAY_E_EXPORT;
    wxFFileInputStream file(packageName);
    wxZipInputStream zip(file, wxConvUTF8);
    std::unique_ptr<wxZipEntry> entry;
    std::vector<char> buf(1 << 20);
    while (entry.reset(zip.GetNextEntry()), entry) {
        std::string relative;
        if (!safeEntry(*entry, relative))
            return KVTRELAY_E_EXPORT;
        if (relative.empty())
            continue;
        std::string target = JoinPath(destination, relative);
        if (entry->IsDir()) {
            if (MakeFolders(target) != 0)
                return KVTRELAY_E_EXPORT;
            continue;
        }
        size_t slash = target.rfind('/');
        if (slash != std::string::npos && slash > 0 && MakeFolders(target.substr(0, slash)) != 0)
            return KVTRELAY_E_EXPORT;
        std::string tmp = target + "." + std::to_string(getpid()) + ".part";
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return KVTRELAY_E_EXPORT;
        bool ok = true;
        while (ok) {
            zip.Read(buf.data(), buf.size());
            size_t n = zip.LastRead();
            if (n > 0)
                ok = writeAll(fd, buf.data(), n);
            if (zip.Eof())
                break;
            if (!zip.IsOk()) {
                ok = false;  // a damaged entry (bad CRC or data)
                break;
            }
        }
        if (close(fd) != 0)
            ok = false;
        if (ok && zip.GetLastError() != wxSTREAM_EOF && zip.GetLastError() != wxSTREAM_NO_ERROR)
            ok = false;
        if (!ok || rename(tmp.c_str(), target.c_str()) != 0) {
            unlink(tmp.c_str());
            return KVTRELAY_E_EXPORT;
        }
    }
    return zip.GetLastError() == wxSTREAM_EOF ? KVTRELAY_S_OK : KVTRELAY_E_EXPORT;
}

}  // namespace kvtrelay
