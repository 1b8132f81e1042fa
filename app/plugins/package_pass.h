#pragma once
// The part that installation and removal of packages share: finding the packages, one event
// per package, the readability check, the last file step and its failure report.

#include "appl_trace.h"

#include <wx/filename.h>
#include <wx/string.h>

#include <functional>
#include <vector>

namespace VkaCore {
class CDom;
}

/// One package as a pass hands it to its handler.
struct PackageFile {
    wxString path;      ///< full path
    wxString baseName;  ///< file name without folder and last extension
    wxString plugin;    ///< plugin name read from the base name
    wxFileName file;    ///< the package as a file name
    wxFileName folder;  ///< the folder it lies in, which is also the unpack target
};

/// Event numbers of one kind of package.
struct PackageEvents {
    int handled;     ///< the package was processed
    int notHandled;  ///< it was not
};

/// Handles every package matching pattern in the folder "app.path.bin": handler decides each
/// package's outcome, and one event is written per package. When at least one package was
/// found, "vka.HeartbeatNow" is set to true afterwards.
void RunPackagePass(VkaCore::CDom& dom, const wxString& pattern, const PackageEvents& events,
                    const std::function<bool(const PackageFile&)>& handler);

/// True when the process may read the package; otherwise warns that it isn't readable.
bool PackageIsReadable(const wxString& path);

/// Reports that the last file step on a package (rename or deletion) failed with errorCode.
void ReportUnableToDelete(const wxString& path, int errorCode);

/// Renames from to to, replacing an existing to; 0 on success, otherwise the system error code.
/// Logs nothing.
int RenameReplacing(const wxString& from, const wxString& to);

/// Deletes a file; 0 on success, otherwise the system error code. Logs nothing.
int DeletePackageFile(const wxString& path);
