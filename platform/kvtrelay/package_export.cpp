#include "package_export.h"
#include "fd_write.h"

#include <algorithm>
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

uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t le32(const unsigned char* p) { return le16(p) | (le16(p + 2) << 16); }

bool safeName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (end - start == 2 && name.compare(start, 2, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

// Checks every entry of the archive's central directory as stored, before the framework
// normalises names (it strips a leading "/"): no absolute names, no "..", no symbolic links.
bool safeArchive(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st;
    std::vector<unsigned char> data;
    bool ok = fstat(fd, &st) == 0 && st.st_size >= 22;
    if (ok) {
        // The end record sits in the last 64 KiB + 22 bytes (its comment is at most 64 KiB).
        off_t tail = std::min<off_t>(st.st_size, 65535 + 22);
        data.resize(static_cast<size_t>(tail));
        ok = pread(fd, data.data(), data.size(), st.st_size - tail) == static_cast<ssize_t>(data.size());
    }
    size_t eocd = std::string::npos;
    for (size_t i = ok ? data.size() - 21 : 0; i-- > 0;) {
        if (le32(&data[i]) == 0x06054b50) {
            eocd = i;
            break;
        }
    }
    if (!ok || eocd == std::string::npos) {
        close(fd);
        return false;
    }
    uint32_t count = le16(&data[eocd + 10]);
    uint32_t dirSize = le32(&data[eocd + 12]);
    uint32_t dirOffset = le32(&data[eocd + 16]);
    std::vector<unsigned char> dir(dirSize);
    ok = count > 0 && count != 0xFFFF && static_cast<off_t>(dirOffset) + dirSize <= st.st_size &&
         pread(fd, dir.data(), dirSize, dirOffset) == static_cast<ssize_t>(dirSize);
    close(fd);
    size_t pos = 0;
    for (uint32_t n = 0; ok && n < count; ++n) {
        if (pos + 46 > dir.size() || le32(&dir[pos]) != 0x02014b50)
            return false;
        unsigned madeBy = dir[pos + 5];
        uint32_t nameLen = le16(&dir[pos + 28]), extraLen = le16(&dir[pos + 30]), commentLen = le16(&dir[pos + 32]);
        uint32_t external = le32(&dir[pos + 38]);
        if (pos + 46 + nameLen > dir.size())
            return false;
        std::string name(reinterpret_cast<const char*>(&dir[pos + 46]), nameLen);
        if (madeBy == 3 && ((external >> 16) & S_IFMT) == S_IFLNK)
            return false;
        if (!safeName(name))
            return false;
        pos += 46 + nameLen + extraLen + commentLen;
    }
    return ok;
}

}  // namespace

int32_t UnpackPackage(const std::string& package, const std::string& destination)
{
    wxLogNull quiet;  // failures are reported by status, not by the framework's log
    wxString packageName = wxString::FromUTF8(package.c_str());

    // Names first, so an unsafe archive leaves the destination untouched.
    if (!safeArchive(package))
        return KVTRELAY_E_EXPORT;

    if (MakeFolders(destination) != 0)
        return KVTRELAY_E_EXPORT;
    wxFFileInputStream file(packageName);
    wxZipInputStream zip(file, wxConvUTF8);
    std::unique_ptr<wxZipEntry> entry;
    std::vector<char> buf(1 << 20);
    while (entry.reset(zip.GetNextEntry()), entry) {
        std::string relative(entry->GetInternalName().utf8_str());
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
                ok = WriteAll(fd, buf.data(), n);
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
