// The archive part of the Lua search path: the core archives, the archives the command line
// names and the extension folder's files, in that order, as one ";"-separated list in
// "app.lua.zippath". The core library's archive searcher reads that list, so require looks
// into the archives in list order. Nothing found here stops start-up.
#include "agent_app.h"

#include "appl_trace.h"
#include "searchpath/archive_list.h"
#include "dom.h"
#include "folder_listing.h"

#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/confbase.h>
#include <wx/utils.h>

#include <vector>

namespace {

const char kFunction[] = "ExpandZippath";
const wxString kCoreFolder = "vka_core";
const wxString kSharedCoreName = "vka";
const wxString kArchiveExtension = "vke";

void appendTo(wxString& list, const wxString& item)
{
    if (!list.empty())
        list += kArchiveListSeparator;
    list += item;
}

bool hasWildcard(const wxString& text)
{
    return text.find_first_of("*?") != wxString::npos;
}

// Names of the plain files directly in folder that match the pattern, in ascending order.
// Hidden names never match and subfolders are not entered.
std::vector<wxString> matchingFiles(const wxString& folder, const wxString& pattern)
{
    std::vector<wxString> names;
    // An empty pattern would list every file of the folder; no file has an empty name.
    if (pattern.empty() || !wxDirExists(folder) || !wxIsReadable(folder))
        return names;
    for (const wxString& path : SortedFiles(folder, pattern))
        names.push_back(wxFileName(path).GetFullName());
    return names;
}

}  // namespace

void CAgentApp::ExpandZippath()
{
    const wxString bin = m_dom->GetWxString("app.path.bin");
    wxString result;

    // The core archives come first and are trusted as shipped: no version check.
    wxFileName coreFolder = wxFileName::DirName(bin);
    coreFolder.AppendDir(kCoreFolder);
    const wxString appName = GetAppName();
    const wxFileName appArchive(coreFolder.GetPath(), appName, kArchiveExtension);
    if (appArchive.FileExists())
        appendTo(result, appArchive.GetFullPath());
    if (appName != kSharedCoreName) {
        const wxFileName sharedArchive(coreFolder.GetPath(), kSharedCoreName, kArchiveExtension);
        if (sharedArchive.FileExists())
            appendTo(result, sharedArchive.GetFullPath());
    }

    // The extension folder joins the list as a wildcard entry after the command-line entries,
    // so its files are version-checked like any other wildcard match.
    if (!m_extDir.empty()) {
        const wxFileName pattern = NormalisedAgainst(wxFileName(m_extDir, "*." + kArchiveExtension), bin);
        if (wxDirExists(pattern.GetPath()))
            appendTo(m_zipPath, pattern.GetFullPath());
    }

    VKA_TRACE_APPL(kFunction, "zipFilespec: %s", m_zipPath);

    if (!m_zipPath.empty()) {
        const wxArrayString entries = SplitArchiveList(m_zipPath);
        m_zipPath.clear();

        for (const wxString& entry : entries) {
            // Whether the entry is checked is decided on the text as written, before any
            // environment reference is expanded.
            const bool wildcardEntry = hasWildcard(entry);
            const wxFileName file = ArchiveEntryLocation(entry, bin);

            const wxString folder = file.GetPath();
            const std::vector<wxString> names = matchingFiles(folder, file.GetFullName());
            if (names.empty()) {
                // A wildcard that finds nothing is an ordinary outcome; a named file that is
                // missing is worth a warning.
                if (!hasWildcard(file.GetFullName()))
                    wxLogWarning("%s: no matches", entry);
                continue;
            }

            for (const wxString& name : names) {
                const wxString path = NormalisedAgainst(wxFileName(folder, name), bin).GetFullPath();
                if (!wxIsReadable(path)) {
                    wxLogWarning("Extension file '%s' isn't readable", path);
                    continue;
                }
                if (wildcardEntry && !ExtensionVersionIsOK(path))
                    continue;
                VKA_TRACE_APPL(kFunction, "Adding extension file '%s' to the search path.", path);
                appendTo(result, path);
            }
        }
    }

    if (!result.empty()) {
        m_dom->SetWx("app.lua.zippath", result);
        VKA_TRACE_APPL(kFunction, "app.lua.zippath '%s' ", result);
    } else {
        VKA_TRACE_APPL(kFunction, "app.lua.zippath empty ");
    }
}
