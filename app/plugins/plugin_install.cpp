// Plugin packages (*.vkp beside the executable) are unpacked into the executable's folder and
// then renamed to <name>.done so that the next start does not pick them up again. A package
// that could not be unpacked keeps its name and is tried again at the next start.
#include "agent_app.h"

#include "plugins/package_name.h"
#include "plugins/package_pass.h"

#include "dom.h"
#include "unzip.h"

#include <wx/log.h>

namespace {

const PackageEvents kInstallEvents = {5101, 5102};

}  // namespace

void CAgentApp::InstallNewPlugins()
{
    static const char kFunction[] = "InstallNewPlugins";

    RunPackagePass(*m_dom, "*.vkp", kInstallEvents, [this](const PackageFile& package) {
        // The version check comes first: a package for another core is never touched.
        if (!CheckVKPVersion(package.file)) {
            wxLogWarning("Plugin file '%s' does not match VKA core version, not installing", package.path);
            return false;
        }
        if (!PackageIsReadable(package.path))
            return false;

        VKA_TRACE_APPL(kFunction, "Extracting files from %s", package.path);
        const VkaCore::UnzipCallback callback = &CAgentApp::InstallPluginZipCB;
        // A refused or damaged archive is reported by the unpacker itself.
        if (!VkaCore::Unzip(package.file, package.folder, callback, this))
            return false;

        VKA_TRACE_APPL(kFunction, "Successfully extracted files for plugin '%s'. Deleting '%s'", package.baseName,
                       package.path);
        // The files are in place, so the package counts as installed even when it cannot be
        // moved aside; it is then unpacked again at the next start.
        const int error = RenameReplacing(package.path, package.path + ".done");
        if (error != 0)
            ReportUnableToDelete(package.path, error);
        return true;
    });
}

bool CAgentApp::CheckVKPVersion(const wxFileName& package)
{
    return packageVersionIsCore(package.GetName());
}

bool CAgentApp::InstallPluginZipCB(const wxZipEntry* entry)
{
    if (entry == nullptr)
        return true;
    VKA_TRACE_APPL("InstallPluginZipCB", "  extracting: %s (%lu bytes)", entry->GetInternalName(),
                   static_cast<unsigned long>(entry->GetSize()));
    return true;
}

bool CAgentApp::InstallPluginZipCB(void* context, const wxZipEntry* entry, const wxString* /*path*/)
{
    if (context == nullptr)
        return false;
    return static_cast<CAgentApp*>(context)->InstallPluginZipCB(entry);
}
