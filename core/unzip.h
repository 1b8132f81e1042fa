#pragma once
// Unpacking ZIP archives with a per-entry decision.

#include <wx/filename.h>
#include <wx/zipstrm.h>

namespace VkaCore {

/// Called once per entry with the caller's context, the entry and the path at which the
/// entry would land below the target folder; true extracts the entry.
typedef bool (*UnzipCallback)(void* context, const wxZipEntry* entry, const wxString* path);

/// Unpacks source into folder, asking callback per entry. Extracted data goes to a temporary
/// name in the same folder and is renamed into place. Archives with an absolute entry name,
/// a ".." component or a symbolic link are refused whole (a warning names the entry, nothing
/// is called or written). True when the archive was processed; false when it is missing,
/// damaged or unsafe.
bool Unzip(const wxFileName& source, const wxFileName& folder, UnzipCallback callback, void* context);

} // namespace VkaCore
