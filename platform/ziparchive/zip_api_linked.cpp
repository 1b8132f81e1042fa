// libzip linked in: the table holds its functions, so their types are checked here.

#include "zip_api.h"

namespace ziparchive {

const ZipApi* Zip(std::string&)
{
    static const ZipApi api = {zip_source_filep_create, zip_open_from_source, zip_source_free,
                               zip_discard, zip_error_init, zip_error_init_with_code,
                               zip_error_fini, zip_error_strerror, zip_error_code_zip,
                               zip_get_error, zip_get_num_entries, zip_stat_init,
                               zip_stat_index, zip_file_get_external_attributes, zip_fopen_index,
                               zip_fread, zip_fclose, zip_strerror,
                               zip_file_strerror};
    return &api;
}

}  // namespace ziparchive
