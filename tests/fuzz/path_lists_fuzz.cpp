// Search path lists, plugin lists and archive lists come from the command line and from INI
// files. The input is split at its first NUL or newline into a path list and a plugin list
// for the plugin expansion; the whole input is also read as an archive list.
#include "fuzz_support.h"

#include "cmdline/path_plugins.h"
#include "searchpath/archive_list.h"

#include <cstdlib>
#include <cstring>

namespace {

wxString decode(const char* text, size_t size)
{
    // Arguments and INI values are decoded by the framework; bytes that are not UTF-8 arrive
    // one character per byte.
    wxString out = wxString::FromUTF8(text, size);
    if (out.empty() && size > 0)
        out = wxString::From8BitData(text, size);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitFramework();
    static const bool environment = [] {
        // References in archive lists name variables like these.
        ::setenv("VKA_FUZZ_DIR", "/opt/ext", 1);
        ::setenv("VKA_FUZZ_EMPTY", "", 1);
        ::setenv("VKA_FUZZ_SELF", "$VKA_FUZZ_SELF/${VKA_FUZZ_DIR}", 1);
        ::setenv("HOME", "/home/agent", 1);
        return true;
    }();
    (void)environment;

    const char* text = reinterpret_cast<const char*>(data);
    size_t cut = 0;
    while (cut < size && text[cut] != '\0' && text[cut] != '\n')
        ++cut;
    const wxString path = decode(text, cut);
    const wxString plugins = cut < size ? decode(text + cut + 1, size - cut - 1) : wxString();

    const wxString expanded = ExpandPathPlugins(path, plugins);
    if (plugins.empty())
        FUZZ_CHECK(expanded == path);
    // Without "@" each element and its separator are repeated once per plugin, nothing more.
    if (path.Find('@') == wxNOT_FOUND && !plugins.empty())
        FUZZ_CHECK(expanded.length() <= 2 * (path.length() + 1) * (plugins.Freq(',') + 1));

    const wxArrayString entries = SplitArchiveList(decode(text, size));
    for (const wxString& entry : entries) {
        FUZZ_CHECK(!entry.empty() && entry.Find(';') == wxNOT_FOUND);
        const wxFileName location = ArchiveEntryLocation(entry, "/opt/agent");
        (void)location.GetPath();
        (void)location.GetFullName();
        (void)location.GetFullPath();
    }
    return 0;
}
