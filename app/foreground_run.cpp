// The foreground run: the script thread does the work while the main thread runs the event
// loop; and the agent's signal handler.
#include "agent_app.h"
#include "lua/script_thread.h"

#include <wx/log.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

volatile sig_atomic_t g_last_signal = 0;

void VkaSignalHandler(int sig)
{
    g_last_signal = sig;
    // Reached for SIGINT/SIGTERM only once they are unblocked after a daemon worker's wait:
    // a second stop request ends the process at once.
    if (sig == SIGTERM || sig == SIGINT)
        _exit(0);
}

int CAgentApp::OnRun()
{
    return m_background ? RunDaemon() : RunForeground(false);
}

int CAgentApp::RunForeground(bool daemonWorker)
{
    // A daemon worker keeps the quieter level it inherited from construction.
    if (!daemonWorker)
        wxLog::SetLogLevel(10000);

    // Blocked before the script thread exists, so that it inherits the mask: only a daemon
    // worker's sigwait takes these.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

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

    scriptThread->requestExit();
    scriptThread->join();
    TerminationCleanup();
    wxLog::FlushActive();
    exit(result);
}
