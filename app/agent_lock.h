#pragma once
// The lock that keeps to one agent per application name and work folder: a record lock the
// worker holds on <work>/<name>.lock, which the kernel releases when the worker dies.

#include <wx/string.h>

#include <sys/types.h>

/// Worker: takes the lock for the rest of the process's life. false (logged, naming the holder)
/// when another process holds it; a lock file that cannot be opened is logged and passed over.
bool TakeAgentLock(const wxString& path);

/// Start command: waits up to ms for the lock to be free. 0 when nobody holds it (or it cannot
/// be checked, which is logged), else the pid of the process that still holds it.
pid_t AwaitAgentLockFree(const wxString& path, int ms);
