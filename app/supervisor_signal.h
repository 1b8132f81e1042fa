#pragma once
// The supervisor's SIGTERM handler and the state it shares with the supervisor loop.

#include <wx/string.h>

#include <csignal>
#include <string>

/// Pid file path of the supervisor. Nothing in the agent reads it back (the handler uses its
/// own byte copy, which it can read without allocating); it is kept under its known name for
/// anyone who inspects the supervisor, e.g. in a debugger.
extern wxString _the_pid_file;
/// Process id of the supervisor; a SIGTERM sent by this pid is its own broadcast coming back.
extern volatile sig_atomic_t _my_pid;
/// SIGTERMs taken so far by the supervisor's handler.
extern volatile sig_atomic_t once;

/// Pid of the worker the supervisor waits for; 0 while none runs.
extern volatile sig_atomic_t g_worker_pid;
/// Set by the first SIGTERM when it found no worker running to pass it on to.
extern volatile sig_atomic_t g_stop_while_idle;

/// The supervisor's SIGTERM handler (SA_SIGINFO). The first SIGTERM removes the pid file,
/// notes whether a worker was running (g_stop_while_idle) and passes the signal on to the
/// process group; a second one leaves the status file kept by KeepStoppedStatusText and ends
/// the supervisor with 0.
void pass_signal(int sig, siginfo_t* info, void* context);

/// The status file's text for an end by a second SIGTERM; kept in a fixed buffer that the
/// handler writes without allocating (a text that does not fit is not kept).
void KeepStoppedStatusText(const std::string& text);

/// Prepares what pass_signal needs (the pid file path and the status file path, which a second
/// SIGTERM replaces, as plain C strings; the supervisor's pid) and installs it for SIGTERM, with
/// SIGTERM blocked while it runs. Safe to call again.
void ArmSupervisorSignalHandler(const wxString& pidFile, const wxString& statusFile = wxString());
