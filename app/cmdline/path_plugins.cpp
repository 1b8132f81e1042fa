// Plugin-list expansion of Lua search path lists.
#include "cmdline/path_plugins.h"

#include <wx/arrstr.h>
#include <wx/tokenzr.h>

wxString ExpandPathPlugins(const wxString& path, const wxString& plugins)
{
    if (plugins.empty())
        return path;

    // Empty pieces inside a list are kept (they become empty elements of the search path),
    // separators at the end produce none, and a list made only of separators is one empty
    // piece: the tokenizer's "return empty" mode cuts exactly that way.
    const wxArrayString elements = wxStringTokenize(path, ";", wxTOKEN_RET_EMPTY);
    const wxArrayString names = wxStringTokenize(plugins, ",", wxTOKEN_RET_EMPTY);

    wxString result;
    for (const wxString& element : elements) {
        for (const wxString& name : names) {
            wxString piece = element;
            piece.Replace("@", name);
            // Joining on a non-empty result only: empty pieces at the very start vanish,
            // later ones leave an empty element between two separators.
            if (!result.empty())
                result << ';' << piece;
            else
                result = piece;
            if (result.length() > kMaxExpandedPath)
                return result;
        }
    }
    return result;
}
