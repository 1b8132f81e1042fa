// Package file names are chosen by whoever drops a package beside the agent. The plugin name and
// the version rule must come out of any name, and the plugin name is always a piece of the base
// name that holds no "-".
#include "fuzz_support.h"

#include "plugins/package_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitFramework();
    // Folder listings hand over names decoded from the file system's bytes; names that are not
    // UTF-8 arrive byte by byte.
    const char* text = reinterpret_cast<const char*>(data);
    wxString name = wxString::FromUTF8(text, size);
    if (name.empty() && size > 0)
        name = wxString::From8BitData(text, size);

    const wxFileName package(name);
    const wxString base = package.GetName();
    const wxString plugin = getPluginName(package);
    FUZZ_CHECK(plugin.Find('-') == wxNOT_FOUND);
    FUZZ_CHECK(base.Find(plugin) != wxNOT_FOUND);
    (void)packageVersionIsCore(base);
    (void)packageVersionIsCore(name);
    return 0;
}
