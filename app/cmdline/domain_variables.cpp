// Turns the parsed command line and the INI configuration into domain variables and the
// members of the application object that later start-up steps use.

#include "agent_app.h"
#include "cmdline/config_files.h"
#include "cmdline/option_names.h"
#include "cmdline/path_plugins.h"

#include "dom.h"
#include "regular_file.h"
#include "secure_file.h"
#include "sqlite_database.h"

#include <wx/cmdline.h>
#include <wx/config.h>
#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <cstdio>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Dots, tilde and absolute: the same normalisation for the executable and the work folder.
constexpr int kNormaliseFlags = wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE;

// Search permission is needed to enter the folder, so owner-only means 0700, not 0600.
constexpr int kWorkDirPerm = 0700;

const char kAgentName[] = "vk_agent";
const char kDefaultAgentTrace[] = "Appl,Cmd,Srvc,vka.Heartbeat,vka.ListenThread,vka.PluginUtils";
const char kSqliteConfigPrefix[] = "sqlite.config";

void writeStderr(const wxString& text)
{
    fputs(text.utf8_str(), stderr);
    fflush(stderr);
}

// The C library's multibyte form in the current locale; a failed conversion gives "".
std::string toLocaleMultibyte(const wxString& text)
{
    const wxCharBuffer buffer = text.mb_str(wxConvLibc);
    return buffer.data() ? std::string(buffer.data(), buffer.length()) : std::string();
}

// The work folder W: absolute, normalised, without a trailing separator.
wxString workDirectory(const wxCmdLineParser& parser, const wxFileName& exe)
{
    wxString value;
    wxFileName dir;
    if (parser.Found(VkaCmdLine::kWorkDir, &value)) {
        dir = wxFileName::DirName(wxExpandEnvVars(value));
    } else {
        dir = exe;
        dir.AppendDir("work");
    }
    dir.Normalize(kNormaliseFlags);
    return dir.GetPath();
}

// Creates the work folder (and missing parents) owner-only. The result is not checked: a
// folder that cannot be made only means there is no local configuration file and no log.
void createWorkDirectory(const wxString& dir)
{
    if (wxFileName::DirExists(dir))
        return;
    {
        // Nothing may reach the log before the work folder is known.
        wxLogNull quiet;
        wxFileName::Mkdir(dir, kWorkDirPerm, wxPATH_MKDIR_FULL);
    }
    VkaCore::SecureFileOrDirectory(dir, false);
}

// The configuration's own entries: the trace list, the dump level and the SQLite settings.
void applyConfiguration(VkaCore::CDom& dom, wxFileConfig& config, bool isAgent)
{
    wxString trace;
    if (config.Read("Trace", &trace))
        dom.SetWx("app.trace+", trace);
    else
        dom.SetWx("app.trace+", isAgent ? wxString(kDefaultAgentTrace) : wxString());

    long dumpLevel = 0;
    const bool fullDump = config.Read("DumpLevel", &dumpLevel) && dumpLevel != 0;
    dom.Set("app.fulldump", fullDump);

    wxString entry;
    long cookie = 0;
    for (bool more = config.GetFirstEntry(entry, cookie); more; more = config.GetNextEntry(entry, cookie)) {
        wxLongLong_t number = 0;
        if (entry.StartsWith(kSqliteConfigPrefix) && config.Read(entry, &number))
            dom.SetWx(entry, static_cast<long long>(number));
    }
}

// Sets key to the plugin expansion of path; false, with a message, when that is too long.
bool setExpandedPath(VkaCore::CDom& dom, const char* key, const wxString& path, const wxString& plugins)
{
    const wxString expanded = ExpandPathPlugins(path, plugins);
    if (expanded.length() > kMaxExpandedPath) {
        writeStderr(wxString::Format("The expanded %s is longer than %zu characters\n", key, kMaxExpandedPath));
        return false;
    }
    dom.SetWx(key, expanded);
    return true;
}

// True when path names a regular file this process may read, looked at without blocking.
bool isReadableRegularFile(const wxString& path)
{
    int fd = -1;
    struct stat st;
    if (fdio::OpenRegularFile(std::string(path.fn_str()), fd, st) != fdio::OpenResult::Opened)
        return false;
    ::close(fd);
    return true;
}

}  // namespace

wxFileName CAgentApp::TakeIdentityOptions(const wxCmdLineParser& parser)
{
    using namespace VkaCmdLine;
    wxString value;

    // Executable path, as started, made absolute against the current working directory.
    wxFileName exe(argc > 0 ? wxString(argv[0]) : wxString());
    exe.Normalize(kNormaliseFlags);
    m_dom->SetWx("app.path.exe", exe.GetFullPath());

    if (parser.Found(kAppName, &value))
        SetAppName(value);
    const wxString appName = GetAppName();
    m_dom->SetWx("app.name", appName);
    m_isAgent = (appName == kAgentName);

    if (parser.Found(kBackground)) {
        m_dom->Set("app.background", true);
        m_background = true;
    }
    m_installPlugins = parser.Found(kInstallPlugins);

    if (parser.Found(kExtDir, &value))
        m_extDir = value;
    return exe;
}

bool CAgentApp::TakePathOptions(const wxCmdLineParser& parser, const wxFileName& exe)
{
    using namespace VkaCmdLine;
    wxString value;

    wxString plugins;
    if (parser.Found(kPlugins, &plugins))
        m_dom->SetWx("app.plugins", plugins);

    if (parser.Found(kLuaCPath, &value) && !setExpandedPath(*m_dom, "app.lua.cpath", value, plugins))
        return false;
    if (parser.Found(kLuaPath, &value) && !setExpandedPath(*m_dom, "app.lua.path", value, plugins))
        return false;

    if (parser.Found(kZipPath, &value))
        m_zipPath = value;
    m_zipPath = ExpandPathPlugins(m_zipPath, plugins);
    if (m_zipPath.length() > kMaxExpandedPath) {
        writeStderr(wxString::Format("The expanded archive list is longer than %zu characters\n", kMaxExpandedPath));
        return false;
    }

    const wxString workDir = workDirectory(parser, exe);
    createWorkDirectory(workDir);
    m_dom->SetWx("app.path.work", workDir);
    // From here on log messages reach the log file.

    const wxString appName = GetAppName();
    m_dom->SetWx("app.path.ini", wxFileName(workDir, appName, "ini").GetFullPath());
    m_dom->SetWx("app.path.ini.global", wxFileConfig::GetGlobalFile(appName).GetFullPath());
    return true;
}

void CAgentApp::TakeRunOptions(const wxCmdLineParser& parser)
{
    using namespace VkaCmdLine;
    wxString value;

    if (parser.Found(kTrace, &value)) {
        value.Replace("'", wxEmptyString);
        value.Replace("\"", wxEmptyString);
        m_dom->SetWx("app.trace", value);
    }

    if (parser.Found(kDomainVar, &value)) {
        const size_t eq = value.find('=');
        if (eq == wxString::npos || eq == 0) {
            writeStderr(wxString::Format(
                "Ignoring invalid domain variable specification '%s': expected name=value format\n", value));
        } else {
            m_dom->Set(toLocaleMultibyte(value.substr(0, eq)), toLocaleMultibyte(value.substr(eq + 1)));
        }
    }

    if (parser.Found(kUnitTest, &value)) {
        // A pattern is the test runner's to expand; a plain name must be a readable regular
        // file (a FIFO would hold the runner until a writer came).
        const bool pattern = value.find_first_of("*?") != wxString::npos;
        if (pattern || isReadableRegularFile(value)) {
            m_unitTests = value;
            m_dom->Set("app.mode.unittest", true);
        } else {
            // A unit-test run that cannot run its tests must fail, not run main instead: a
            // CI job would otherwise go green on a typo.
            writeStderr(wxString::Format("%s: not found", value));
            m_unitTestsMissing = true;
        }
    }
    if (parser.Found(kTest))
        m_dom->Set("app.mode.unittest", true);
}

bool CAgentApp::OnCmdLineParsed(wxCmdLineParser& parser)
{
    // Nothing may be logged until "app.name" and "app.path.work" are set: the disk log finds
    // its file through them and sends anything earlier to standard error.
    const wxFileName exe = TakeIdentityOptions(parser);
    if (!TakePathOptions(parser, exe))
        return false;
    TakeRunOptions(parser);

    // Both file names are read back from the domain, so a domain_var naming either counts.
    const wxString appName = GetAppName();
    wxFileConfig* config = OpenConfiguration(appName, GetVendorName(), m_dom->GetWxString("app.path.ini"),
                                             m_dom->GetWxString("app.path.ini.global"));
    // The framework owns it from now on and deletes it when the application exits.
    wxConfigBase::Set(config);
    applyConfiguration(*m_dom, *config, m_isAgent);

    VkaCore::CSqliteDatabase::InitializeSQLite(m_dom);
    m_dom->AgentEventStoreCreate();

    return wxAppConsoleBase::OnCmdLineParsed(parser);
}
