// An extension is admitted only when a companion text file beside it states the core version
// on its first line beginning "version:", as major.minor.patch-build.
#include "searchpath/extension_version.h"

#include "agent_app.h"
#include "version.h"

#include <wx/convauto.h>
#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/txtstrm.h>
#include <wx/wfstream.h>
#include <wx/wxcrtvararg.h>

namespace {

enum class VersionLine { Missing, Malformed, Read };

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
    int build = 0;
};

// Reads the first line beginning "version:" of file. The stream is closed on return.
VersionLine readVersionLine(const wxString& file, Version& version)
{
    // A companion that cannot be opened counts as one without a version line; the
    // framework's own message about it would only be noise.
    wxLogNull quiet;
    wxFFileInputStream stream(file, "rb");
    wxTextInputStream text(stream, " \t", wxConvAuto());
    while (stream.IsOk() && !stream.Eof()) {
        const wxString line = text.ReadLine();
        wxString rest;
        if (!line.StartsWith("version:", &rest))
            continue;
        // The first version line decides, even when a good one follows. scanf skips blanks
        // before each number and ignores whatever follows the build number.
        if (wxSscanf(rest, "%d.%d.%d-%d", &version.major, &version.minor, &version.patch, &version.build) != 4)
            return VersionLine::Malformed;
        return VersionLine::Read;
    }
    return VersionLine::Missing;
}

} // namespace

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
        wxLogWarning("File '%s' does not contain a 'version:' line. Extension '%s' will not be enabled.",
                     versionFile, extensionFile);
        return false;
    case VersionLine::Malformed:
        wxLogWarning("File '%s' did not contain a properly formatted 'version:' line. Extension '%s' will not be enabled.",
                     versionFile, extensionFile);
        return false;
    case VersionLine::Read:
        break;
    }

    if (version.major == kCoreVersionMajor && version.minor == kCoreVersionMinor && version.patch == kCoreVersionPatch)
        return true;
    wxLogWarning("Ignoring extension '%s' since its version (%d.%d.%d) doesn't match ours (%d.%d.%d)",
                 extensionFile, version.major, version.minor, version.patch,
                 kCoreVersionMajor, kCoreVersionMinor, kCoreVersionPatch);
    return false;
}

bool CAgentApp::ExtensionVersionIsOK(const wxString& extensionFile)
{
    return ExtensionVersionMatchesCore(extensionFile);
}
