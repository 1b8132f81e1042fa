#pragma once
// The supervisor's process operations on a POSIX system.

#include "supervisor.h"

#include <string>

/// fork, waitpid, the wall clock, a timed pause, access and the core library's Execute.
class CPosixProcessOps : public CProcessOps {
public:
    /// pidFile is the file RemovePidFile removes and the SIGTERM handler guards.
    explicit CPosixProcessOps(const wxString& pidFile);

    long long Now() override;
    void SleepMs(int ms) override;
    pid_t Fork() override;
    void PrepareWait(pid_t worker) override;
    pid_t WaitPid(pid_t pid, int* status) override;
    int LastError() override;
    bool IsExecutable(const char* path) override;
    bool RunProgram(const wxString& program, const wxArrayString& args, wxString& err) override;
    void RemovePidFile() override;

private:
    wxString m_pidFile;
    std::string m_pidPath;
    int m_lastError = 0;
};
