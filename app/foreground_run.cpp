// The foreground run: the script thread does the work while the main thread runs the event
// loop and, in a daemon worker, watches for the end of its supervisor.
#include "agent_app.h"
#include "lua/script_thread.h"
#include "worker_signals.h"
#include "worker_stop.h"

#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>
#include <wx/log.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

void stopWatchingSupervisor();

// Watches, from the main thread's event loop, the pipe whose only writer is the supervisor.
// The supervisor never writes, so the pipe turns readable only when it is gone (killed,
// crashed): the kernel wakes the loop then, and an idle worker costs nothing meanwhile.
class CSupervisorWatch : public wxEventLoopSourceHandler {
public:
    explicit CSupervisorWatch(int fd) : m_fd(fd) {}
    ~CSupervisorWatch() override { StopWatching(); }

    bool Start()
    {
        m_source = wxEventLoopBase::AddSourceForFD(m_fd, this, wxEVENT_SOURCE_INPUT | wxEVENT_SOURCE_EXCEPTION);
        return m_source != nullptr;
    }

    void OnReadWaiting() override
    {
        char byte;
        const ssize_t n = read(m_fd, &byte, 1);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
            return;
        SupervisorGone();
    }
    void OnWriteWaiting() override {}
    void OnExceptionWaiting() override { SupervisorGone(); }

    void StopWatching()
    {
        delete m_source;
        m_source = nullptr;
    }

private:
    void SupervisorGone()
    {
        if (m_gone)
            return;
        m_gone = true;
        // The pipe stays readable at end of file and would keep the loop busy; stop watching
        // it, outside the dispatch that is calling us.
        wxAppConsole::GetInstance()->CallAfter([]() { stopWatchingSupervisor(); });
        // A stop already taken (the supervisor forwarded one before it went) is not repeated.
        if (!ClaimStopForSupervisorEnd())
            return;
        wxLogWarning("Supervisor has ended; stopping the worker");
        // Exactly what a stop request does: a process-wide SIGTERM, taken by the script
        // thread's wait after main (or left pending until then). raise() would aim it at this
        // thread alone, where it stays blocked.
        kill(getpid(), SIGTERM);
        NoteStopSentForSupervisorEnd();
    }

    int m_fd;
    wxEventLoopSource* m_source = nullptr;
    bool m_gone = false;
};

CSupervisorWatch* s_supervisorWatch = nullptr;

void stopWatchingSupervisor()
{
    if (s_supervisorWatch != nullptr)
        s_supervisorWatch->StopWatching();
}

}  // namespace

int CAgentApp::RunForeground(bool daemonWorker, int supervisorPipe)
{
    // A daemon worker keeps the quieter level it inherited from construction.
    if (!daemonWorker)
        wxLog::SetLogLevel(10000);

    // Blocked before the script thread exists, so that it inherits the mask: only a daemon
    // worker's sigwait takes these.
    BlockStopSignals();

    // A daemon worker takes its stop requests on a thread of its own, so they reach it while
    // its Lua code runs.
    if (daemonWorker)
        StartStopWatcher();

    if (supervisorPipe >= 0) {
        s_supervisorWatch = new CSupervisorWatch(supervisorPipe);
        if (!s_supervisorWatch->Start())
            wxLogError("Unable to watch the supervisor's pipe; this worker will not notice its end");
    }

    // Never deleted: the process ends with exit() below, with the thread already joined.
    CScriptThread* scriptThread = new CScriptThread();
    scriptThread->SetDom(m_dom);

    // Returns when the script thread hands back its result. Without a script thread nobody
    // would ever ask the loop to end, so the run fails instead of hanging.
    int result = -1;
    if (!scriptThread->HandBack().Open()) {
        wxLogSysError("Unable to set up the script thread's hand-back pipe");
    } else {
        const int started = scriptThread->start(50, true, 0);
        if (started == 0)
            result = wxAppConsoleBase::OnRun();
        else
            wxLogError("Unable to start the script thread (error %d)", started);
    }
    // From here the loop is gone: the thread must not wait for it to take anything.
    scriptThread->HandBack().Close();

    delete s_supervisorWatch;
    s_supervisorWatch = nullptr;
    scriptThread->requestExit();
    scriptThread->join();
    TerminationCleanup();
    wxLog::FlushActive();
    exit(result);
}
