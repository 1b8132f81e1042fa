// The application object: construction and destruction, process-wide OpenSSL start-up and
// clean-up, the start-up before and after the command line, the choice of run path, and the
// exit line.
#include "agent_app.h"
#include "agent_lock.h"
#include "agent_app_helpers.h"
#include "openssl_startup.h"

#include "dom.h"
#include "crash_handler.h"
#include "lua_interpreter.h"
#include "openssl_threads.h"
#include "sqlite_database.h"
#include "version.h"

#include <wx/log.h>

#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <ctime>

wxIMPLEMENT_APP_NO_MAIN(CAgentApp);

const char CAgentApp::s_Trace[] = "Appl";

namespace {

const int kMaxRandPolls = 100;

// Plain flags, not locks: the callers never run start-up or clean-up on two threads at once.
bool s_startupDone = false;
bool s_cleanupDone = false;

}  // namespace

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

void CAgentApp::StartupInit()
{
    if (s_startupDone)
        return;
    s_startupDone = true;

    InitOpenSSLLibraries();
    VkaCore::OpenSSLThreadSetup();
    SeedRandomGenerator(kMaxRandPolls);
}

void CAgentApp::TerminationCleanup()
{
    if (s_cleanupDone)
        return;
    s_cleanupDone = true;

    VkaCore::OpenSSLThreadShutdown();
    // OpenSSL 3 frees each thread's error state itself when the thread ends, so there is no
    // per-thread error-state removal to do here.
    CONF_modules_unload(1);
    // The error strings, the algorithm tables, the SSL compression methods and the ex_data
    // tables are released by OpenSSL 3's own exit handler; the calls that used to free them
    // explicitly no longer exist, and freeing them early would break a later OpenSSL user.
    VkaCore::CSqliteDatabase::ShutdownSQLite();
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
