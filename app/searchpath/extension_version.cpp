// An extension is admitted only when a companion text file beside it states the core version
// on its first line beginning "version:", as major.minor.patch-build.
#include "searchpath/extension_version.h"

#include "agent_app.h"
#include "regular_file.h"
#include "version.h"

#include <wx/filefn.h>
#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class VersionLine { Missing, Malformed, Read };

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
    int build = 0;
};

// A version line is short. A longer line is passed over without being kept, so a companion of
// one huge line costs one read buffer and a single pass, not memory for the whole line.
constexpr size_t kMaxVersionLine = 4096;

// The lines of a companion file, one at a time, as ASCII text: the check only looks at
// "version:" and numbers, so every other character stands as one byte 0x80. Byte-order marks
// of UTF-8, UTF-16 and UTF-32 are honoured; without one the text is read byte by byte (UTF-8
// or any 8-bit encoding). Lines end at LF, CR LF or CR.
class CCompanionLines {
public:
    /// Opens path without blocking; a file that is not a regular file counts as unreadable.
    explicit CCompanionLines(const wxString& path) : m_buffer(64 * 1024)
    {
        struct stat st;
        if (fdio::OpenRegularFile(std::string(path.fn_str()), m_fd, st) == fdio::OpenResult::Opened)
            readByteOrderMark();
    }

    ~CCompanionLines()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    CCompanionLines(const CCompanionLines&) = delete;
    CCompanionLines& operator=(const CCompanionLines&) = delete;

    /// The next line into line; tooLong tells that it exceeded kMaxVersionLine and line holds
    /// only its start. False at the end of the file or on a read error.
    bool Next(std::string& line, bool& tooLong)
    {
        line.clear();
        tooLong = false;
        long unit = nextUnit();
        if (unit < 0)
            return false;
        for (; unit >= 0; unit = nextUnit()) {
            if (unit == '\n')
                break;
            if (unit == '\r') {
                m_pendingUnit = nextUnit();
                if (m_pendingUnit == '\n')
                    m_pendingUnit = kNone;
                break;
            }
            if (line.size() < kMaxVersionLine)
                line += static_cast<char>(unit < 0x80 ? unit : 0x80);
            else
                tooLong = true;
        }
        return true;
    }

private:
    static constexpr long kNone = -2;

    void readByteOrderMark()
    {
        fill();
        const unsigned char* b = m_buffer.data();
        const size_t n = m_end;
        if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
            m_pos = 3;
        } else if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
            m_width = 4;
            m_pos = 4;
        } else if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
            m_width = 4;
            m_bigEndian = true;
            m_pos = 4;
        } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
            m_width = 2;
            m_pos = 2;
        } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
            m_width = 2;
            m_bigEndian = true;
            m_pos = 2;
        }
    }

    // Refills the buffer when it is used up; false at the end or on an error.
    bool fill()
    {
        if (m_pos < m_end)
            return true;
        if (m_fd < 0)
            return false;
        ssize_t got;
        do
            got = ::read(m_fd, m_buffer.data(), m_buffer.size());
        while (got < 0 && errno == EINTR);
        m_pos = 0;
        m_end = got > 0 ? static_cast<size_t>(got) : 0;
        return m_end > 0;
    }

    // The next code unit, or -1 at the end (a last unit cut short counts as the end).
    long nextUnit()
    {
        if (m_pendingUnit != kNone) {
            const long unit = m_pendingUnit;
            m_pendingUnit = kNone;
            return unit;
        }
        unsigned long unit = 0;
        for (int i = 0; i < m_width; ++i) {
            if (!fill())
                return -1;
            const unsigned long byte = m_buffer[m_pos++];
            unit = m_bigEndian ? (unit << 8) | byte : unit | (byte << (8 * i));
        }
        return static_cast<long>(unit & 0x7FFFFFFF);
    }

    int m_fd = -1;
    std::vector<unsigned char> m_buffer;
    size_t m_pos = 0;
    size_t m_end = 0;
    int m_width = 1;
    bool m_bigEndian = false;
    long m_pendingUnit = kNone;
};

// Reads the first line beginning "version:" of file. The file is closed on return.
VersionLine readVersionLine(const wxString& file, Version& version)
{
    // A companion that cannot be opened counts as one without a version line.
    CCompanionLines lines(file);
    std::string line;
    bool tooLong = false;
    static const std::string kPrefix = "version:";
    while (lines.Next(line, tooLong)) {
        if (tooLong || line.compare(0, kPrefix.size(), kPrefix) != 0)
            continue;
        // The first version line decides, even when a good one follows. scanf skips blanks
        // before each number and ignores whatever follows the build number.
        if (std::sscanf(line.c_str() + kPrefix.size(), "%d.%d.%d-%d", &version.major, &version.minor, &version.patch,
                        &version.build) != 4)
            return VersionLine::Malformed;
        return VersionLine::Read;
    }
    return VersionLine::Missing;
}

}  // namespace

bool ExtensionVersionMatchesCore(const wxString& extensionFile)
{
    const wxString versionFile = extensionFile + ".version";
    if (!wxFileExists(versionFile)) {
        wxLogWarning("Extension file '%s' does not have a corresponding '.version' file. It will not be enabled.",
                     extensionFile);
        return false;
    }

    Version version;
    switch (readVersionLine(versionFile, version)) {
    case VersionLine::Missing:
        wxLogWarning("File '%s' does not contain a 'version:' line. Extension '%s' will not be enabled.", versionFile,
                     extensionFile);
        return false;
    case VersionLine::Malformed:
        wxLogWarning(
            "File '%s' did not contain a properly formatted 'version:' line. Extension '%s' will not be enabled.",
            versionFile, extensionFile);
        return false;
    case VersionLine::Read: break;
    }

    if (version.major == kCoreVersionMajor && version.minor == kCoreVersionMinor && version.patch == kCoreVersionPatch)
        return true;
    wxLogWarning("Ignoring extension '%s' since its version (%d.%d.%d) doesn't match ours (%d.%d.%d)", extensionFile,
                 version.major, version.minor, version.patch, kCoreVersionMajor, kCoreVersionMinor, kCoreVersionPatch);
    return false;
}

bool CAgentApp::ExtensionVersionIsOK(const wxString& extensionFile)
{
    return ExtensionVersionMatchesCore(extensionFile);
}
