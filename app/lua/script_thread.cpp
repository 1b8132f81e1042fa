// The script thread and the application's start-up sequence: plugins, search path, signals,
// the Lua state, the application module and its methods.
#include "agent_app.h"
#include "lua/lua_setup.h"
#include "lua/script_thread.h"
#include "readiness.h"
#include "worker_signals.h"
#include "worker_stop.h"

#include "lua_interpreter.h"
#include "profiler.h"

#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>
#include <wx/log.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Called by the loop, on the main thread, when the hand-back pipe is readable.
class CHandBackReader : public wxEventLoopSourceHandler {
public:
    CHandBackReader(CHandBack& handBack, int fd) : m_handBack(handBack), m_fd(fd) {}

    void OnReadWaiting() override
    {
        char buf[16];
        while (read(m_fd, buf, sizeof buf) > 0) {
        }
        int result = 0;
        if (!m_handBack.Take(&result))
            return;
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive())
            loop->Exit(result);
    }
    void OnWriteWaiting() override {}
    void OnExceptionWaiting() override {}

private:
    CHandBack& m_handBack;
    const int m_fd;
};

bool setDescriptorFlags(int fd, bool nonBlocking)
{
    const int fdFlags = fcntl(fd, F_GETFD);
    if (fdFlags == -1 || fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) == -1)
        return false;
    if (!nonBlocking)
        return true;
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

}  // namespace

CHandBack::~CHandBack()
{
    Close();
    for (int& fd : m_fds) {
        if (fd != -1)
            close(fd);
        fd = -1;
    }
}

bool CHandBack::Open()
{
    if (pipe(m_fds) != 0)
        return false;
    // Children the Lua application starts must not hold the pipe.
    if (!setDescriptorFlags(m_fds[0], true) || !setDescriptorFlags(m_fds[1], false))
        return false;
    m_handler.reset(new CHandBackReader(*this, m_fds[0]));
    // Registered with the framework's process-wide descriptor dispatcher, which every console
    // loop polls: it exists before the main loop does and after it is gone.
    m_source = wxEventLoopBase::AddSourceForFD(m_fds[0], m_handler.get(), wxEVENT_SOURCE_INPUT);
    if (!m_source) {
        errno = EINVAL;
        return false;
    }
    return true;
}

void CHandBack::Post(int result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
    m_posted = true;
    if (m_settled)
        return;
    // The write end stays open until this object is destroyed, after the thread is joined. The
    // byte waits in the pipe whatever the loop is doing, so nothing is left to wait for here:
    // the thread ends at once, while the main thread wakes up.
    ssize_t written;
    do
        written = write(m_fds[1], "r", 1);
    while (written == -1 && errno == EINTR);
}

bool CHandBack::Take(int* result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_posted || m_settled)
        return false;
    *result = m_result;
    m_settled = true;
    return true;
}

void CHandBack::Close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settled = true;
    }
    // Only the main thread gets here, with the loop ended: the dispatcher is not polling.
    delete m_source;
    m_source = nullptr;
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
    int result;
    try {
        result = app.OnRunScript();
    } catch (...) {
        // Left to the framework, the thread would end and the main loop wait for ever.
        result = app.ReportScriptException();
    }

    if (app.IsAgent() || app.IsBackground()) {
        m_handBack.Post(result);
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
    // From here until shutdown, a daemon worker's stop request may interrupt the Lua code.
    EnterInterruptibleLua(L());

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

    result = (m_unitTests.empty() && !m_unitTestsMissing) ? RunAppMain() : RunUnitTests();
    if (result != 0)
        return result;
    return RunAppShutdown();
}

int CAgentApp::OnRunScript()
{
    return m_background ? RunDaemonWorkerScript() : RunAppInteractively();
}

void CAgentApp::ReportAppStart(int result)
{
    if (m_readiness < 0)
        return;
    if (result == 0) {
        SendReadiness(m_readiness, ReadinessKind::Started, std::string());
    } else {
        const wxString info = m_lua != nullptr ? m_lua->GetErrorInfo() : wxString();
        const wxScopedCharBuffer text = info.utf8_str();  // borrows from info
        SendReadiness(m_readiness, ReadinessKind::StartFailed, std::string(text.data(), text.length()));
    }
    close(m_readiness);
    m_readiness = -1;
}

int CAgentApp::RunDaemonWorkerScript()
{
    int result = RunAppInit();
    ReportAppStart(result);
    if (result == 0)
        result = RunAppMain();

    if (result == 0) {
        // The stop request is awaited only once main has returned.
        profiler_idle();
        AwaitStopRequest();
        profiler_running();
    } else if (LuaWasInterrupted()) {
        // A stop interrupted init or main, and the error is logged: the application still
        // gets its shutdown, as after any other stop.
        LeaveInterruptibleLua();
    } else {
        return result;
    }
    return RunAppShutdown();
}
