#pragma once
// The readiness pipe of a daemon start: what the daemon tells the process that started it, and
// that process's wait for it.

#include <wx/string.h>

#include <string>

/// The messages on the readiness pipe. Each is one kind byte, a four-byte length and the text.
enum class ReadinessKind : char {
    /// The supervisor could not write its pid file (text: the error as logged); more follows.
    PidFileError = 'P',
    /// The first worker's init returned 0: the application has started.
    Started = 'S',
    /// The first worker's start-up failed (text: the interpreter's error text); more follows.
    StartFailed = 'L',
    /// The first worker ended before its application started (text: how it ended).
    WorkerEnded = 'E',
};

/// Sends one message; false (errno kept) when it could not be written whole.
bool SendReadiness(int fd, ReadinessKind kind, const std::string& text);

/// The start command: reads fd until the application has started, the first worker has ended or
/// the pipe's end; shows what it learnt and returns the start command's exit code (0 when the
/// application started, 1 otherwise). Closes fd.
int AwaitReadiness(int fd, const wxString& appName, const wxString& logFile);
