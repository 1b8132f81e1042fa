#pragma once
// Pid files of the daemon.

#include <wx/string.h>

namespace VkaCore {

/// The pid recorded in path; 0 when the file is missing, malformed, not positive, or
/// unlocked while naming a live process (a pid reused after its writer died).
int ReadPidFile(const wxString& path);
/// Writes "<pid>\n" atomically with mode 0644 and keeps a record lock on it for as long as
/// this process lives. True on success.
bool WritePidFile(const wxString& path);

}  // namespace VkaCore
