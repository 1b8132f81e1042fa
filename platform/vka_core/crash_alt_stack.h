#pragma once
// Per-thread part of the crash handler, for the library's own threads.

namespace VkaCore {

/// Gives the calling thread an alternate signal stack once the crash handler is set up,
/// so that a stack overflow on that thread still produces a report. Does nothing before.
void InstallCrashAltStack();

}  // namespace VkaCore
