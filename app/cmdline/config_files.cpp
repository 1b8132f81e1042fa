// The framework's INI parser asserts on some malformed lines (an empty name, a group header
// given twice) and reads binary junk line by line, so its input is checked here first.
#include "cmdline/config_files.h"

#include "regular_file.h"

#include <wx/convauto.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A configuration file of this program holds a few lines; a bigger one is junk, and only its
// start is looked at.
constexpr size_t kMaxConfigBytes = 1024 * 1024;

// The most entries taken from a damaged file.
constexpr size_t kMaxRootEntries = 1000;

enum class LineKind { Blank, Group, Entry };

// Reads up to kMaxConfigBytes + 1 bytes of path into bytes; false when the file is missing,
// unreadable or not a regular file (never opened blocking).
bool readStart(const wxString& path, std::string& bytes)
{
    int fd = -1;
    struct stat st;
    if (fdio::OpenRegularFile(std::string(path.fn_str()), fd, st) != fdio::OpenResult::Opened)
        return false;
    bytes.resize(kMaxConfigBytes + 1);
    size_t have = 0;
    bool ok = true;
    while (have < bytes.size()) {
        const ssize_t got = ::read(fd, &bytes[have], bytes.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        have += static_cast<size_t>(got);
    }
    ::close(fd);
    bytes.resize(have);
    return ok;
}

bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// Index of the first unescaped stop character at or after from, or text.size().
size_t findUnescaped(const std::wstring& text, size_t from, wchar_t stop)
{
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == L'\\')
            ++i;  // the next character is taken literally
        else if (text[i] == stop)
            return i;
    }
    return text.size();
}

// The group a header names, as the framework resolves it: escapes taken literally, empty
// and "." components dropped, ".." going up. "[a]", "[/a]" and "[b/../a]" are one group.
std::wstring groupPath(const std::wstring& name)
{
    std::vector<std::wstring> parts;
    std::wstring part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == L'/') {
            if (part == L"..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != L".") {
                parts.push_back(part);
            }
            part.clear();
            continue;
        }
        if (name[i] == L'\\' && i + 1 < name.size())
            ++i;
        part += name[i];
    }
    std::wstring path;
    for (const auto& p : parts)
        path += L"/" + p;
    return path;
}

// What line is, with the reason it cannot be used (nullptr when it can). groups collects the
// group headers seen so far.
const char* classifyLine(const std::wstring& line, std::set<std::wstring>& groups, LineKind& kind)
{
    kind = LineKind::Blank;
    for (const wchar_t c : line) {
        if ((c < 0x20 && c != L'\t') || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF)
            return "a control character or binary data";
    }
    size_t start = 0;
    while (start < line.size() && isBlank(line[start]))
        ++start;
    if (start == line.size() || line[start] == L';' || line[start] == L'#')
        return nullptr;

    if (line[start] == L'[') {
        const size_t close = findUnescaped(line, start + 1, L']');
        if (close == line.size())
            return "a group header without ']'";
        kind = LineKind::Group;
        size_t rest = close + 1;
        while (rest < line.size() && isBlank(line[rest]))
            ++rest;
        if (rest < line.size() && line[rest] != L';' && line[rest] != L'#')
            return "text after a group header";
        const std::wstring group = groupPath(line.substr(start + 1, close - start - 1));
        if (!group.empty() && !groups.insert(group).second)
            return "a group header given twice";
        return nullptr;
    }

    const size_t eq = findUnescaped(line, start, L'=');
    if (eq == line.size())
        return "no '=' after the name";
    size_t nameEnd = eq;
    while (nameEnd > start && isBlank(line[nameEnd - 1]))
        --nameEnd;
    // A leading "!" only marks the entry as fixed; it is not a name.
    if (nameEnd == start || (nameEnd == start + 1 && line[start] == L'!'))
        return "no name before '='";
    kind = LineKind::Entry;
    return nullptr;
}

}  // namespace

CConfigFileCheck CheckConfigFile(const wxString& path)
{
    CConfigFileCheck check;
    std::string bytes;
    {
        wxLogNull quiet;
        if (!readStart(path, bytes) || bytes.empty())
            return check;
    }

    wxArrayString reasons;
    if (bytes.size() > kMaxConfigBytes) {
        // Only whole lines of the start count.
        const size_t lastBreak = bytes.find_last_of('\n', kMaxConfigBytes - 1);
        bytes.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
        reasons.Add(wxString::Format("larger than %zu KiB, the rest is ignored", kMaxConfigBytes / 1024));
    }

    // The same decoding as the framework's: a byte-order mark decides, else UTF-8, else the
    // fallback 8-bit encoding.
    wxConvAuto conv;
    const size_t length = bytes.empty() ? 0 : conv.ToWChar(nullptr, 0, bytes.data(), bytes.size());
    if (length == wxCONV_FAILED) {
        check.damaged = true;
        check.reason = "it cannot be read as text";
        return check;
    }
    std::wstring text(length, L'\0');
    if (length > 0)
        conv.ToWChar(&text[0], length, bytes.data(), bytes.size());

    std::set<std::wstring> groups;
    bool inRoot = true;
    size_t lineNumber = 0;
    size_t badLines = 0;
    size_t entries = 0;
    wxString firstBad;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = pos;
        while (end < text.size() && text[end] != L'\n' && text[end] != L'\r')
            ++end;
        const std::wstring line = text.substr(pos, end - pos);
        // LF, CR LF and CR each end a line.
        pos = end + ((end + 1 < text.size() && text[end] == L'\r' && text[end + 1] == L'\n') ? 2 : 1);
        ++lineNumber;

        LineKind kind;
        const char* problem = classifyLine(line, groups, kind);
        if (kind == LineKind::Group)
            inRoot = false;
        if (problem) {
            if (badLines++ == 0)
                firstBad = wxString::Format("line %zu: %s", lineNumber, problem);
            continue;
        }
        if (kind == LineKind::Entry && inRoot && entries < kMaxRootEntries) {
            check.rootEntries += wxString(line) + "\n";
            ++entries;
        }
    }
    if (badLines == 1)
        reasons.Add(firstBad);
    else if (badLines > 1)
        reasons.Add(wxString::Format("%zu lines left out, the first at %s", badLines, firstBad));

    check.damaged = !reasons.empty();
    for (size_t i = 0; i < reasons.size(); ++i)
        check.reason += (i ? "; " : "") + reasons[i];
    return check;
}

wxFileConfig* OpenConfiguration(const wxString& appName, const wxString& vendorName, const wxString& localFile,
                                const wxString& globalFile)
{
    const CConfigFileCheck global = CheckConfigFile(globalFile);
    const CConfigFileCheck local = CheckConfigFile(localFile);
    if (global.damaged)
        wxLogWarning("Configuration file '%s' is damaged (%s); only its well-formed entries are used.", globalFile,
                     global.reason);
    if (local.damaged)
        wxLogWarning("Configuration file '%s' is damaged (%s); only its well-formed entries are used.", localFile,
                     local.reason);

    // Unreadable files leave the configuration (partly) empty, silently: the framework's own
    // messages about them would only be noise.
    wxLogNull quiet;
    if (!global.damaged && !local.damaged)
        return new wxFileConfig(appName, vendorName, localFile, globalFile,
                                wxCONFIG_USE_LOCAL_FILE | wxCONFIG_USE_GLOBAL_FILE, wxConvAuto());

    // The global entries come first, so a local entry of the same name replaces it, as when
    // the framework reads both files itself.
    const std::string text = (global.rootEntries + local.rootEntries).utf8_string();
    wxMemoryInputStream stream(text.data(), text.size());
    return new wxFileConfig(stream, wxConvUTF8);
}
