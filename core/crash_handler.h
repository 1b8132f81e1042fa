#pragma once
// The core library's crash handler: a text report of a fatal signal.

#include <wx/string.h>

namespace VkaCore {

/// On SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT writes a text report (signal, fault address,
/// backtrace) to dumpFile, the three reports before it kept as dumpFile.1 (the latest) to .3,
/// then re-raises with the default action. fullDump also allows a core file.
bool InitCrashHandler(const wxString& dumpFile, const wxString& appName, bool fullDump);

}  // namespace VkaCore
