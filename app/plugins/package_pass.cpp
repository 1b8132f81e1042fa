// Installation and removal walk the same folder in the same way and write the same kind of
// event; only what they do to one package differs.
#include "plugins/package_pass.h"

#include "plugins/package_name.h"

#include "folder_listing.h"

#include "agent_event.h"
#include "clock.h"
#include "dom.h"

#include <wx/filefn.h>
#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

const int kLevelInformation = 5;
const int kLevelWarning = 2;

void setText(VkaCore::CAgentEvent& event, const wxString& text)
{
    event.m_text = text;
    event.SetAttributeNull(VkaCore::CAgentEvent::kText, false);
}

void setTimes(VkaCore::CAgentEvent& event)
{
    // Both times come from one reading so they can never disagree.
    const long long millis = VkaCore::TimeNowMillis();
    event.m_millis = millis;
    event.SetAttributeNull(VkaCore::CAgentEvent::kMillis, false);
    event.m_seconds = int(millis / 1000);
    event.SetAttributeNull(VkaCore::CAgentEvent::kSeconds, false);
}

void setOutcome(VkaCore::CAgentEvent& event, int number, int level)
{
    event.m_event = number;
    event.SetAttributeNull(VkaCore::CAgentEvent::kEvent, false);
    event.m_severity = VkaCore::CAgentEvent::ToSeverity(level);
    event.SetAttributeNull(VkaCore::CAgentEvent::kSeverity, false);
}

}  // namespace

void RunPackagePass(VkaCore::CDom& dom, const wxString& pattern, const PackageEvents& events,
                    const std::function<bool(const PackageFile&)>& handler)
{
    // One record serves every package; each attribute is set again for each one.
    VkaCore::CAgentEvent event;
    const wxFileName folder = wxFileName::DirName(dom.GetWxString("app.path.bin"));

    const std::vector<wxString> packages = SortedFiles(folder.GetPath(), pattern);
    if (packages.empty())
        return;

    for (const wxString& path : packages) {
        PackageFile package;
        package.path = path;
        package.file = wxFileName(path);
        package.baseName = package.file.GetName();
        package.plugin = getPluginName(package.file);
        package.folder = folder;

        setText(event, wxString::Format("%s|%s|%s", package.plugin, package.baseName, package.path));
        setTimes(event);

        if (handler(package))
            setOutcome(event, events.handled, kLevelInformation);
        else
            setOutcome(event, events.notHandled, kLevelWarning);
        dom.AgentEventWrite(event);
    }

    dom.Set("vka.HeartbeatNow", true);
}

bool PackageIsReadable(const wxString& path)
{
    if (wxIsReadable(path))
        return true;
    wxLogWarning("Plugin file '%s' isn't readable", path);
    return false;
}

void ReportUnableToDelete(const wxString& path, int errorCode)
{
    wxLogSysError(long(errorCode), "Unable to delete %s", path);
}

// The framework's rename and delete functions log messages of their own and lose the error
// number; the rename would even fall back to copy-and-delete, which can leave the package in
// place while reporting success. The plain system calls do exactly one thing.
int RenameReplacing(const wxString& from, const wxString& to)
{
    if (::rename(from.fn_str(), to.fn_str()) == 0)
        return 0;
    return errno;
}

int DeletePackageFile(const wxString& path)
{
    if (::unlink(path.fn_str()) == 0)
        return 0;
    return errno;
}
