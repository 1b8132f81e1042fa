#pragma once
// The application object of the agent host.

#include <wx/app.h>
#include <wx/apptrait.h>
#include <wx/cmdline.h>
#include <wx/datetime.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/stream.h>
#include <wx/string.h>
#include <wx/zipstrm.h>

#include <string>

struct lua_State;

namespace VkaCore {
class CDom;
class CLuaInterpreter;
}  // namespace VkaCore

/// The framework traits that make the disk log the active log target.
class CAgentAppTraits : public wxConsoleAppTraits {
public:
    ~CAgentAppTraits() override = default;
    wxLog* CreateLogTarget() override;
};

/// The one application object of vk_agent.
class CAgentApp : public wxAppConsole {
public:
    CAgentApp();
    ~CAgentApp() override;

    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    void OnUnhandledException() override;
    wxAppTraits* CreateTraits() override;

    /// Process-wide start-up and clean-up of OpenSSL (and SQLite); each runs once.
    static void StartupInit();
    static void TerminationCleanup();

    /// Module name of this program's trace lines.
    static const char s_Trace[];

    // Script thread and start-up sequence.
    int OnRunScript();
    /// Called inside a catch block on the script thread: reports the exception in flight as
    /// OnUnhandledException does, logs it as an error, and returns the result that ends the
    /// process (-1).
    int ReportScriptException();
    int RunAppInit();
    int RunAppInteractively();

    // Chunk runner and application methods.
    int RunChunk(wxInputStream& in, wxOutputStream& out, const wxString& name);
    int RunCodeSnippet(const wxString& code);
    int RunAppMethod(const wchar_t* name);
    int RunAppMain();
    int RunAppShutdown();
    int RunUnitTests();
    /// The one reporter of Lua errors: writes text to standard error as it stands and logs it,
    /// whole, at error level (not echoed to a terminal again).
    static void ReportLuaError(const std::string& text);

    // Lua state set-up.
    int SetupLua();
    static int SetupLua(lua_State* L);
    /// The Lua state of the interpreter (null before it exists).
    lua_State* L() const;

    // Archive search path and extension version check.
    void ExpandZippath();
    bool ExtensionVersionIsOK(const wxString& extensionFile);

    // Plugin packages.
    void InstallNewPlugins();
    void UninstallOldPlugins();
    bool CheckVKPVersion(const wxFileName& package);
    bool InstallPluginZipCB(const wxZipEntry* entry);
    static bool InstallPluginZipCB(void* context, const wxZipEntry* entry, const wxString* path);
    bool UninstallPluginZipCB(const wxZipEntry* entry, const wxString* path);
    static bool UninstallPluginZipCB(void* context, const wxZipEntry* entry, const wxString* path);

    VkaCore::CDom* GetDom() const { return m_dom; }
    bool IsAgent() const { return m_isAgent; }
    bool IsBackground() const { return m_background; }

    /// Where the daemon path left the process: in the supervisor, which has ended with result, or
    /// in a new worker, which goes on along the foreground path with its end of the supervisor's
    /// pipe (lifeline, -1 when there is none) and, in the first worker, the start command's
    /// readiness pipe (-1 otherwise).
    struct DaemonRole {
        bool worker = false;
        int result = 0;
        int lifeline = -1;
        int readiness = -1;
    };

    /// The foreground path; a daemon worker enters it with daemonWorker true (keeps log level 5)
    /// and supervisorPipe, the read end of a pipe whose only writer is its supervisor: when the
    /// supervisor is gone the worker stops as on SIGTERM. Never returns: ends with exit().
    int RunForeground(bool daemonWorker, int supervisorPipe = -1);
    /// The daemon path: detach, pid file, supervisor loop. Returns in the supervisor when it
    /// ends, and in each worker it forks.
    DaemonRole RunDaemon();
    /// <work>/<appname>.<extension>, empty without a work folder.
    wxString WorkFile(const wxString& extension) const;

private:
    /// The command line's steps, in this order: the executable, the application name and the
    /// run mode (returns the executable's path); the path lists and the work folder (after
    /// which messages reach the log file); trace, domain variable and unit-test options.
    wxFileName TakeIdentityOptions(const wxCmdLineParser& parser);
    /// False, with a message on standard error, when an expanded search path is too long.
    bool TakePathOptions(const wxCmdLineParser& parser, const wxFileName& exe);
    void TakeRunOptions(const wxCmdLineParser& parser);
    /// After a run of RunChunk with a non-zero result: the error text on standard error, and
    /// in the log when it was a Lua error rather than a non-zero result.
    void ReportChunkResult(int result);
    /// A daemon worker's run on the script thread: init, main, the wait for a stop, shutdown.
    int RunDaemonWorkerScript();
    /// Tells a waiting start command whether init succeeded (result 0) and, if not, the
    /// interpreter's error text; only the first worker has one to tell.
    void ReportAppStart(int result);

    bool m_installPlugins = false;
    bool m_isAgent = false;
    bool m_background = false;
    wxString m_extDir;
    wxLocale m_locale;
    VkaCore::CDom* m_dom = nullptr;
    VkaCore::CLuaInterpreter* m_lua = nullptr;
    bool m_chunkFailed = false;  // the last RunChunk ended in a Lua error
    wxDateTime m_startTime;
    wxString m_unitTests;
    wxString m_zipPath;
    wxString m_pidFile;
    bool m_unitTestsMissing = false;  // -u named a file that is not there
    int m_readiness = -1;             // the first daemon worker's readiness pipe
};

wxDECLARE_APP(CAgentApp);
