// Small pure helpers of the application object: the vendor's name and folder.
#include "agent_app_helpers.h"

wxString VendorFolder(const wxFileName& exeDir)
{
    if (exeDir.GetDirCount() > 1) {
        wxFileName parent(exeDir);
        parent.RemoveLastDir();
        const wxString parentPath = parent.GetPath(wxPATH_GET_VOLUME);
        if (parentPath.Find(kVendorName) != wxNOT_FOUND)
            return parentPath;
    }
    return exeDir.GetPath(wxPATH_GET_VOLUME);
}

wxString FormatRunTime(const wxTimeSpan& span)
{
    // With %D before %H the hours are the remainder below a day.
    return span.Format("%Dd %H:%M:%S.%l");
}

std::string PathBytes(const wxString& path)
{
    const wxScopedCharBuffer bytes = path.mb_str(wxConvLibc);
    return bytes.data() != nullptr ? std::string(bytes.data()) : std::string();
}
