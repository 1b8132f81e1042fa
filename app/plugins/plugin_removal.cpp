// Removal packages (*.vku beside the executable) name a plugin's installed files: each entry's
// file below the executable's folder is deleted, nothing is extracted, and then the removal
// package itself is deleted. Removal runs before installation, so a plugin whose removal and
// installation packages arrive together ends up installed.
#include "agent_app.h"

#include "plugins/package_pass.h"

#include "dom.h"
#include "unzip.h"

#include <wx/filefn.h>
#include <wx/log.h>

namespace {

const PackageEvents kRemovalEvents = {5105, 5106};

}  // namespace

void CAgentApp::UninstallOldPlugins()
{
    static const char kFunction[] = "UninstallOldPlugins";

    RunPackagePass(*m_dom, "*.vku", kRemovalEvents, [this](const PackageFile& package) {
        // Removal packages carry no version check: an old plugin must be removable whatever
        // version it was built for.
        if (!PackageIsReadable(package.path))
            return false;

        VKA_TRACE_APPL(kFunction, "Removing files from %s", package.path);
        const VkaCore::UnzipCallback callback = &CAgentApp::UninstallPluginZipCB;
        if (!VkaCore::Unzip(package.file, package.folder, callback, this))
            return false;

        VKA_TRACE_APPL(kFunction, "Successfully removed files for plugin '%s'. Deleting '%s'", package.baseName,
                       package.path);
        // The plugin's files are gone either way; a package that stays is applied again at
        // the next start, which deletes nothing more.
        const int error = DeletePackageFile(package.path);
        if (error != 0)
            ReportUnableToDelete(package.path, error);
        return true;
    });
}

bool CAgentApp::UninstallPluginZipCB(const wxZipEntry* entry, const wxString* path)
{
    if (entry == nullptr)
        return true;
    VKA_TRACE_APPL("UninstallPluginZipCB", "  removing: %s (%lu bytes)", entry->GetInternalName(),
                   static_cast<unsigned long>(entry->GetSize()));
    if (path != nullptr) {
        // A file that is already gone, or a folder entry, must not stop the walk, and is no
        // news worth a log line.
        wxLogNull quiet;
        wxRemoveFile(*path);
    }
    // Nothing of a removal package is ever extracted.
    return false;
}

bool CAgentApp::UninstallPluginZipCB(void* context, const wxZipEntry* entry, const wxString* path)
{
    if (context == nullptr)
        return false;
    return static_cast<CAgentApp*>(context)->UninstallPluginZipCB(entry, path);
}
