#pragma once
// The INI configuration: the global and the local file, checked before the framework parses
// them, so that a damaged file is read only as far as it makes sense and explained once.

#include <wx/string.h>

class wxFileConfig;

/// What the check of one configuration file found.
struct CConfigFileCheck {
    bool damaged = false;  ///< something in the file had to be left out
    wxString reason;       ///< what was left out and why, for the warning
    wxString rootEntries;  ///< the well-formed entry lines before the first group header, each ending in "\n"
};

/// Checks the configuration file path; a missing or unreadable file is simply empty.
CConfigFileCheck CheckConfigFile(const wxString& path);

/// The configuration object over globalFile and localFile (the local file wins entry by entry).
/// Each damaged file is named in one warning, and the framework's parser then sees only the
/// well-formed entries of the root group, which are all the host reads.
wxFileConfig* OpenConfiguration(const wxString& appName, const wxString& vendorName, const wxString& localFile,
                                const wxString& globalFile);
