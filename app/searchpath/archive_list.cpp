// The grammar of the archive list: splitting it into entries and resolving what one names.

#include "searchpath/archive_list.h"

#include <wx/confbase.h>
#include <wx/tokenzr.h>

wxArrayString SplitArchiveList(const wxString& list)
{
    return wxStringTokenize(list, kArchiveListSeparator, wxTOKEN_STRTOK);
}

wxFileName NormalisedAgainst(wxFileName name, const wxString& base)
{
    name.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE, base);
    return name;
}

wxFileName ArchiveEntryLocation(const wxString& entry, const wxString& base)
{
    wxFileName file(wxExpandEnvVars(entry));
    if (!file.IsAbsolute())
        file = NormalisedAgainst(file, base);
    return file;
}
