#pragma once
// The supervisor's process operations on a POSIX system.

#include "supervisor.h"

#include <string>

/// fork, waitpid, the wall clock, a timed pause, access and the core library's Execute; the
/// pipe that ties each worker to the supervisor, and the status file.
class CPosixProcessOps : public CProcessOps {
public:
    /// pidFile is the file RemovePidFile removes and the SIGTERM handler guards; statusFile the
    /// file WriteStatus replaces (empty: none is kept).
    CPosixProcessOps(const wxString& pidFile, const wxString& statusFile);
    ~CPosixProcessOps() override;

    long long Now() override;
    void SleepMs(int ms) override;
    pid_t Fork() override;
    void HoldStopRequests(bool hold) override;
    void PrepareWait(pid_t worker) override;
    pid_t WaitPid(pid_t pid, int* status) override;
    int LastError() override;
    bool IsExecutable(const char* path) override;
    bool RunProgram(const wxString& program, const wxArrayString& args, wxString& err) override;
    void RemovePidFile() override;
    pid_t OwnPid() override;
    StopRequest PendingStop() override;
    void WriteStatus(const wxString& text) override;
    void KeepStatusForSecondStop(const wxString& text) override;
    void FirstWorkerEnded(const wxString& howItEnded) override;
    wxString CrashReportOf(pid_t worker) override;

    /// In a forked worker: the read end of the pipe whose only writer is the supervisor (end of
    /// file once the supervisor is gone), -1 when there is none.
    int WorkerLifeline() const { return m_lifelineRead; }
    /// Takes the write end of the start command's readiness pipe: the first worker inherits it,
    /// and the supervisor tells through it how that worker ended. -1: there is none.
    void SetReadiness(int fd) { m_readiness = fd; }
    /// In a worker: hands over its copy of the readiness pipe (-1 in all but the first).
    int TakeWorkerReadiness()
    {
        const int fd = m_readiness;
        m_readiness = -1;
        return fd;
    }
    /// The file the crash handler writes when a worker dies of a crash.
    void SetCrashReport(const wxString& path) { m_crashReport = path; }

private:
    void CloseLifeline();

    wxString m_pidFile;
    std::string m_pidPath;
    wxString m_statusFile;
    std::string m_statusPath;
    int m_lastError = 0;
    int m_lifelineRead = -1;   // in the worker
    int m_lifelineWrite = -1;  // in the supervisor, while its worker runs
    bool m_statusErrorLogged = false;
    int m_readiness = -1;
    wxString m_crashReport;
};
