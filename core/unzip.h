#pragma once
// Unpacking ZIP archives with a per-entry decision.

#include <wx/filename.h>
#include <wx/zipstrm.h>

namespace VkaCore {

/// Called once per entry with the caller's context, the entry and the path at which the
/// entry would land below the target folder; true extracts the entry.
typedef bool (*UnzipCallback)(void* context, const wxZipEntry* entry, const wxString* path);

/// Unpacks source into folder, asking callback per entry (every entry is asked before any is
/// written). Extracted data goes to a temporary name in the same folder and is renamed into
/// place; no entry yields more than its declared size. A source that is not a regular file, an
/// archive with an entry the safety rule refuses (absolute, drive letter, "..", backslash,
/// symbolic link, longer than the path limit), and one whose chosen entries do not fit in the
/// folder's free space are refused whole: a warning names the reason, nothing is written.
/// True when the archive was processed; false when it is missing, damaged, unsafe or too big.
bool Unzip(const wxFileName& source, const wxFileName& folder, UnzipCallback callback, void* context);

}  // namespace VkaCore
