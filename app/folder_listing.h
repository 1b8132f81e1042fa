#pragma once
/// The plain files of one folder that match a wildcard pattern, in one order: the archive search
/// path and the package passes both list folders this way, so both see the same files.

#include <wx/string.h>

#include <vector>

/// Paths of the plain files directly in folder whose names match pattern, in ascending order.
/// Hidden names never match and subfolders are not entered; a folder that cannot be read
/// holds nothing.
std::vector<wxString> SortedFiles(const wxString& folder, const wxString& pattern);
