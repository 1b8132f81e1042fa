// The script thread and the application's start-up sequence: plugins, search path, signals,
// the Lua state, the application module and its methods.
#include "agent_app.h"
#include "lua/lua_setup.h"
#include "lua/script_thread.h"

#include "lua_interpreter.h"
#include "profiler.h"

#include <wx/evtloop.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <memory>

namespace {

constexpr unsigned long kHandBackRetryMs = 50;

void setDisposition(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

void stopSignals(sigset_t* set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
}

// Wakes the main loop and asks it to end with the script's result. The request is queued on
// the application object, so a script that ends before the loop runs is not lost: the loop
// handles queued calls on its first pass and ends at once.
void handBackToMainThread(int result)
{
    // The console class itself: wxTheApp casts to the GUI application class, which the
    // base library does not hold (the sanitizer's type checks need its type information).
    wxAppConsole* app = wxAppConsole::GetInstance();
    auto taken = std::make_shared<std::atomic<bool>>(false);
    wxQueueEvent(app, new wxIdleEvent());
    app->CallAfter([result, taken]() {
        taken->store(true);
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive())
            loop->Exit(result);
    });
    // A wake-up sent while the loop is not yet active, or racing with the loop going back to
    // sleep, can be lost; the loop would then sleep with the request queued. Keep waking it
    // until the request has been taken: normally at once, so this costs nothing.
    while (!taken->load()) {
        wxMilliSleep(kHandBackRetryMs);
        wxWakeUpIdle();
    }
}

} // namespace

void InstallAgentSignalDispositions()
{
    setDisposition(SIGINT, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGTERM, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGUSR1, VkaSignalHandler, SA_RESTART);
    setDisposition(SIGUSR2, VkaSignalHandler, SA_RESTART);
    setDisposition(VkaCore::CRunnable::SigThreadDelete(), VkaSignalHandler, 0);
    setDisposition(SIGHUP, SIG_IGN, SA_RESTART);

    sigset_t set;
    stopSignals(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    // No restart: a blocking call in the thread that takes the alarm fails with EINTR.
    setDisposition(SIGALRM, VkaSignalHandler, 0);
    setDisposition(SIGPIPE, SIG_IGN, SA_RESTART);
}

CScriptThread::CScriptThread() : CRunnable(false, -1, false) {}

CScriptThread::~CScriptThread() = default;

const char* CScriptThread::GetThreadName() const
{
    return "CScriptThread";
}

void CScriptThread::OnRun()
{
    CAgentApp& app = wxGetApp();
    const int result = app.OnRunScript();

    if (app.IsAgent() || app.IsBackground()) {
        handBackToMainThread(result);
        return;
    }
    // Another application's foreground run ends here, from this thread.
    CAgentApp::TerminationCleanup();
    exit(result);
}

int CAgentApp::RunAppInit()
{
    if (m_installPlugins) {
        UninstallOldPlugins();
        InstallNewPlugins();
    }
    ExpandZippath();
    InstallAgentSignalDispositions();

    m_lua = NewAppInterpreter(GetAppName());
    int result = RunProtectedSetup(this);
    if (result != 0)
        return result;

    result = RunCodeSnippet(wxString::Format("vkaAppModule = require([[%s]]);", GetAppName()));
    if (result != 0)
        return result;
    return RunAppMethod(L"init");
}

int CAgentApp::RunAppInteractively()
{
    int result = RunAppInit();
    if (result != 0)
        return result;

    result = m_unitTests.empty() ? RunAppMain() : RunUnitTests();
    if (result != 0)
        return result;
    return RunAppShutdown();
}

int CAgentApp::OnRunScript()
{
    if (!m_background)
        return RunAppInteractively();

    int result = RunAppInit();
    if (result != 0)
        return result;
    result = RunAppMain();
    if (result != 0)
        return result;

    // The stop request is awaited only once main has returned.
    sigset_t set;
    stopSignals(&set);
    int sig = 0;
    profiler_idle();
    const int err = sigwait(&set, &sig);
    profiler_running();
    if (err != 0)
        wxLogSysError(err, "sigwait");
    else
        wxLogWarning("sigwait(): caught signal %d", sig);

    // From here a second stop request ends the process at once, even during shutdown.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return RunAppShutdown();
}
