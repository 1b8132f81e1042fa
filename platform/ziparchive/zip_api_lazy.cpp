// libzip opened by name when the first archive is opened (zip_api.h says why); the table's
// types are the ones zip_api_linked.cpp checks against the library's declarations.

#include "zip_api.h"

#include "lazy_library.h"

#ifndef ZIPARCHIVE_ZIP_LIBRARY
#define ZIPARCHIVE_ZIP_LIBRARY "libzip.so.4"
#endif

namespace ziparchive {

namespace {

using dynload::Slot;

ZipApi g_api;
dynload::CLazyLibrary g_library(ZIPARCHIVE_ZIP_LIBRARY,
                                {{"zip_source_filep_create", Slot(g_api.sourceFilepCreate)},
                                 {"zip_open_from_source", Slot(g_api.openFromSource)},
                                 {"zip_source_free", Slot(g_api.sourceFree)},
                                 {"zip_discard", Slot(g_api.discard)},
                                 {"zip_error_init", Slot(g_api.errorInit)},
                                 {"zip_error_init_with_code", Slot(g_api.errorInitWithCode)},
                                 {"zip_error_fini", Slot(g_api.errorFini)},
                                 {"zip_error_strerror", Slot(g_api.errorStrerror)},
                                 {"zip_error_code_zip", Slot(g_api.errorCodeZip)},
                                 {"zip_get_error", Slot(g_api.getError)},
                                 {"zip_get_num_entries", Slot(g_api.getNumEntries)},
                                 {"zip_stat_init", Slot(g_api.statInit)},
                                 {"zip_stat_index", Slot(g_api.statIndex)},
                                 {"zip_file_get_external_attributes", Slot(g_api.fileGetExternalAttributes)},
                                 {"zip_fopen_index", Slot(g_api.fopenIndex)},
                                 {"zip_fread", Slot(g_api.fread)},
                                 {"zip_fclose", Slot(g_api.fclose)},
                                 {"zip_strerror", Slot(g_api.strerror)},
                                 {"zip_file_strerror", Slot(g_api.fileStrerror)}});

}  // namespace

const ZipApi* Zip(std::string& error)
{
    return g_library.Open(error) ? &g_api : nullptr;
}

}  // namespace ziparchive
