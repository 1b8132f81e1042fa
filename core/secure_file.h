#pragma once
// The core library's owner-only permissions for files and folders.

#include <wx/string.h>

namespace VkaCore {

/// Restricts path to its owner: 0700 for a directory, 0600 for a file. The flag is
/// reserved (pass false). True on success.
bool SecureFileOrDirectory(const wxString& path, bool recursive);

}  // namespace VkaCore
