// The application object: construction and destruction, the start-up before and after the
// command line, the choice of run path, and the exit line.
#include "agent_app.h"
#include "agent_lock.h"
#include "agent_app_helpers.h"

#include "dom.h"
#include "crash_handler.h"
#include "lua_interpreter.h"
#include "version.h"

#include <wx/log.h>

#include <ctime>

wxIMPLEMENT_APP_NO_MAIN(CAgentApp);

CAgentApp::CAgentApp()
{
    tzset();
    m_startTime = wxDateTime::UNow();

    wxLog::SetVerbose(true);
    wxLog::SetLogLevel(wxLOG_Info);
    wxLog::SetTimestamp("%Y-%m-%d %H:%M:%S");

    {
        // A system language without an installed locale only makes the framework complain;
        // the work folder is not known yet, so such a complaint would have nowhere sensible to go.
        wxLogNull quiet;
        m_locale.Init(wxLANGUAGE_DEFAULT, wxLOCALE_LOAD_DEFAULT);
    }

    StartupInit();
    m_dom = VkaCore::CDom::New(nullptr, nullptr, nullptr, false);
}

CAgentApp::~CAgentApp()
{
    // The Lua state refers to the domain object, so the interpreter goes first.
    delete m_lua;
    m_lua = nullptr;
    if (m_dom) {
        m_dom->Dispose();
        m_dom = nullptr;
    }
    TerminationCleanup();
}

bool CAgentApp::OnInit()
{
    wxFileName exe(argc > 0 ? wxString(argv[0]) : wxString());
    exe.Normalize(wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE);

    const wxFileName exeDir = wxFileName::DirName(exe.GetPath(wxPATH_GET_VOLUME));
    wxFileName libDir(exeDir);
    libDir.AppendDir("lib");

    m_dom->SetWx("app.path.bin", exeDir.GetPath(wxPATH_GET_VOLUME));
    m_dom->SetWx("app.path.lib", libDir.GetPath(wxPATH_GET_VOLUME));
    m_dom->SetWx("app.path.cv", VendorFolder(exeDir));
    m_dom->Set("app.version", kAppVersion);

    SetVendorName(wxGetTranslation(kVendorName));

    // Parses the command line; its domain variables land after the four keys above.
    if (!wxAppConsoleBase::OnInit())
        return false;

    const wxFileName dumpFile(m_dom->GetPluginWorkdirWx("diag"), GetAppName(), "mdmp");
    bool fullDump = false;
    m_dom->Get("app.fulldump", fullDump);
    VkaCore::InitCrashHandler(dumpFile.GetFullPath(), GetAppName(), fullDump);

    if (m_isAgent)
        wxLogVerbose("VKA %s starting.", kAppVersion);
    return true;
}

int CAgentApp::OnRun()
{
    // The one place that picks the path: the daemon path comes back here in each worker it
    // forks, which then runs as an agent in the foreground and never returns.
    if (!m_background)
        return RunForeground(false);
    const DaemonRole role = RunDaemon();
    if (!role.worker)
        return role.result;
    // Held until the worker dies: a new start waits for it, even when this worker outlives
    // its supervisor.
    if (!TakeAgentLock(WorkFile("lock"))) {
        wxLog::FlushActive();
        exit(1);
    }
    m_readiness = role.readiness;
    return RunForeground(true, role.lifeline);
}

int CAgentApp::OnExit()
{
    if (m_isAgent) {
        const wxTimeSpan runTime = wxDateTime::UNow() - m_startTime;
        wxLogVerbose("VKA %s exiting. Run time was %s", kAppVersion, FormatRunTime(runTime));
    }
    return wxAppConsoleBase::OnExit();
}
