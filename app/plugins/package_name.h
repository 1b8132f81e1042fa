#pragma once
// What the host reads from a package file name: the plugin name and the version text.

#include <wx/filename.h>
#include <wx/string.h>

/// The plugin name of a package: the second "-"-separated field of its base name; everything
/// after the first "-" when there is only one; the whole base name when there is none.
wxString getPluginName(const wxFileName& package);

/// True when the version that a package base name carries is the core version. A base name
/// without the separators that frame a version carries none and is accepted.
bool packageVersionIsCore(const wxString& baseName);
