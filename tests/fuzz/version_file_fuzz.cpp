// The ".version" companion of an extension is written by whoever drops the extension beside the
// agent. Reading it must end, without harm, on any bytes in any encoding.
#include "fuzz_support.h"

#include "searchpath/extension_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitFramework();
    static const std::string extension = fuzz::ScratchFolder() + "/Fuzz.vke";
    fuzz::WriteFile(extension + ".version", data, size);
    (void)ExtensionVersionMatchesCore(extension);
    return 0;
}
