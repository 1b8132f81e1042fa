// Listing a folder's matching files, sorted, with the framework's own complaints silenced.

#include "folder_listing.h"

#include <wx/dir.h>
#include <wx/log.h>

#include <algorithm>

std::vector<wxString> SortedFiles(const wxString& folder, const wxString& pattern)
{
    wxArrayString found;
    {
        // A folder that cannot be read simply holds nothing; the framework would log.
        wxLogNull quiet;
        // Without wxDIR_DIRS the listing neither descends nor lists folders, and without
        // wxDIR_HIDDEN names beginning with "." never match.
        wxDir::GetAllFiles(folder, &found, pattern, wxDIR_FILES);
    }
    std::vector<wxString> files(found.begin(), found.end());
    std::sort(files.begin(), files.end(), [](const wxString& a, const wxString& b) { return a.Cmp(b) < 0; });
    return files;
}
