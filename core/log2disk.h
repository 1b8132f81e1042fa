#pragma once
// The disk log: the framework log target every operational message goes to.

#include <wx/log.h>

#include <string>

namespace VkaCore {

/// Appends each message as "YYYY-MM-DD HH:MM:SS.mmm <pid> <LEVEL> <text>" to
/// <app.path.work>/<app.name>.log of the primary domain (standard error before the
/// work folder is known). Safe to use from several threads and processes at once.
class CLog2Disk : public wxLog {
public:
    CLog2Disk();

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
};

/// Writes one line at the given level name (ERROR, WARNING, MESSAGE, VERBOSE, TRACE, DEBUG)
/// to the disk log, bypassing the framework.
void WriteLogLine(const char* levelName, const std::string& text);

} // namespace VkaCore
