#pragma once
// The disk log: the framework log target every operational message goes to.

#include <wx/log.h>

#include <string>

namespace VkaCore {

/// Key of a stored value (any number) of a log record whose text the program has already
/// written to standard error itself; such a record is not echoed to the terminal again.
extern const char kLogKeyShownOnStderr[];

/// Appends each message as "YYYY-MM-DD HH:MM:SS.mmm <pid> <LEVEL> <text>" to
/// <app.path.work>/<app.name>.log of the primary domain (standard error before the
/// work folder is known). While standard error is a terminal, warnings and errors are also
/// written there in the same format. Safe to use from several threads and processes at once.
class CLog2Disk : public wxLog {
public:
    CLog2Disk();

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
};

/// Writes one line at the given level name (ERROR, WARNING, MESSAGE, VERBOSE, TRACE, DEBUG)
/// to the disk log, bypassing the framework.
void WriteLogLine(const char* levelName, const std::string& text);

/// Writes one line in the log's format to standard error when it is a terminal, and nowhere
/// else: for what a process learns about on behalf of another that has already logged it.
void WriteTerminalLine(const char* levelName, const std::string& text);

}  // namespace VkaCore
