#pragma once
// libzip's functions as zip_archive.cpp calls them, in one of two variants behind Zip(): the
// host links the library (zip_api_linked.cpp), since it reads archives at every start; the relay
// opens it on first use (zip_api_lazy.cpp), since most of its runs never touch an archive and
// the library brings OpenSSL's crypto library with it.

#include <cstdio>
#include <string>

#include <zip.h>

namespace ziparchive {

struct ZipApi {
    zip_source_t* (*sourceFilepCreate)(FILE*, zip_uint64_t, zip_int64_t, zip_error_t*);
    zip_t* (*openFromSource)(zip_source_t*, int, zip_error_t*);
    void (*sourceFree)(zip_source_t*);
    void (*discard)(zip_t*);
    void (*errorInit)(zip_error_t*);
    void (*errorInitWithCode)(zip_error_t*, int);
    void (*errorFini)(zip_error_t*);
    const char* (*errorStrerror)(zip_error_t*);
    int (*errorCodeZip)(const zip_error_t*);
    zip_error_t* (*getError)(zip_t*);
    zip_int64_t (*getNumEntries)(zip_t*, zip_flags_t);
    void (*statInit)(zip_stat_t*);
    int (*statIndex)(zip_t*, zip_uint64_t, zip_flags_t, zip_stat_t*);
    int (*fileGetExternalAttributes)(zip_t*, zip_uint64_t, zip_flags_t, zip_uint8_t*, zip_uint32_t*);
    zip_file_t* (*fopenIndex)(zip_t*, zip_uint64_t, zip_flags_t);
    zip_int64_t (*fread)(zip_file_t*, void*, zip_uint64_t);
    int (*fclose)(zip_file_t*);
    const char* (*strerror)(zip_t*);
    const char* (*fileStrerror)(zip_file_t*);
};

/// The functions; null, with the reason in error, when the library cannot be loaded.
const ZipApi* Zip(std::string& error);

}  // namespace ziparchive
