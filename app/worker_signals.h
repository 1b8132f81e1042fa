#pragma once
// The worker's signals: the agent's handler and dispositions, the stop signals and the one stop
// that the supervisor's end and a forwarded stop request share.

#include <csignal>

/// Number of the last signal taken by VkaSignalHandler.
extern volatile sig_atomic_t g_last_signal;
/// The agent's handler for SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM and the thread-delete signal.
void VkaSignalHandler(int sig);

/// The stop signals, SIGINT and SIGTERM, as one set built once.
const sigset_t& StopSignals();
/// Blocks the stop signals for the whole process; called before any thread is made, so that
/// every thread inherits the mask and only a daemon worker's wait takes them.
void BlockStopSignals();
/// Sets the agent process's signal dispositions and blocks the stop signals for the calling
/// thread.
void InstallAgentSignalDispositions();
/// Takes one stop request for the calling thread, with the stop signals blocked: waits for a
/// stop signal (and takes the duplicate the supervisor's end may have left pending) and logs it.
void TakeStopRequest();

/// A daemon worker's one stop: the script thread's wait takes a stop request, and the end of the
/// supervisor asks for one. Whichever comes first claims it, so the two never add up to the
/// second request that ends the process at once.
/// ClaimStopForSupervisorEnd: true when the worker should send itself its stop request, after
/// which it calls NoteStopSentForSupervisorEnd.
bool ClaimStopForSupervisorEnd();
/// Marks the stop request claimed by ClaimStopForSupervisorEnd as sent.
void NoteStopSentForSupervisorEnd();
/// NoteStopTaken: called by the waiting thread once its wait has returned; true when the
/// supervisor's end had claimed the stop first, so that its request may still be pending.
bool NoteStopTaken();
