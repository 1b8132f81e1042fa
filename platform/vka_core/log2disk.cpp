// The disk log: one line per message, appended by every thread and process of the agent.

#include "log2disk.h"

#include "dom.h"
#include "framework_warning.h"
#include "fd_write.h"
#include "regular_file.h"

#include <wx/app.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace VkaCore {

namespace {

// The log is rotated once it has grown past this size; <name>.log.1 is the newest old
// generation and <name>.log.<kKeepGenerations> the oldest one kept.
constexpr off_t kRotateBytes = 10 * 1024 * 1024;
constexpr int kKeepGenerations = 3;

long long wallClockMillis()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// The log file shared by every CLog2Disk and by WriteLogLine. It lives until the process
// ends (never destroyed) so that messages logged from static destructors or after exit()
// began still have somewhere to go.
class DiskLogFile {
public:
    static DiskLogFile& Instance()
    {
        static DiskLogFile* file = new DiskLogFile;
        return *file;
    }

    // echo: also show the line on standard error when that is a terminal (and the line did
    // not go there anyway for want of a file).
    void Write(const char* level, const char* text, size_t textLen, long long millis, bool echo)
    {
        std::string line;
        Format(line, level, text, textLen, millis);

        const std::string path = CurrentPath();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (path.empty()) {
            fdio::WriteAll(STDERR_FILENO, line.data(), line.size());
            return;
        }
        if (!EnsureOpen(path)) {
            // Losing the file must not lose the message.
            fdio::WriteAll(STDERR_FILENO, line.data(), line.size());
            return;
        }
        if (!fdio::WriteAll(m_fd, line.data(), line.size()))
            fdio::WriteAll(STDERR_FILENO, line.data(), line.size());
        else if (echo && ::isatty(STDERR_FILENO))
            fdio::WriteAll(STDERR_FILENO, line.data(), line.size());
        RotateIfFull();
    }

    static void WriteToTerminal(const char* level, const std::string& text, long long millis)
    {
        if (!::isatty(STDERR_FILENO))
            return;
        std::string line;
        Format(line, level, text.data(), text.size(), millis);
        fdio::WriteAll(STDERR_FILENO, line.data(), line.size());
    }

private:
    DiskLogFile() = default;

    static void Format(std::string& line, const char* level, const char* text, size_t textLen, long long millis)
    {
        time_t seconds = static_cast<time_t>(millis / 1000);
        struct tm local;
        localtime_r(&seconds, &local);
        char head[96];
        int n = snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d %ld %s ", local.tm_year + 1900,
                         local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<int>(millis % 1000), static_cast<long>(getpid()), level);
        line.reserve(static_cast<size_t>(n) + textLen + 8);
        line.append(head, static_cast<size_t>(n));

        // A message is one record: trailing line ends are dropped and inner ones escaped,
        // so every line of the file starts with a time stamp.
        while (textLen > 0 && (text[textLen - 1] == '\n' || text[textLen - 1] == '\r'))
            --textLen;
        for (size_t i = 0; i < textLen; ++i) {
            char c = text[i];
            if (c == '\n')
                line.append("\\n");
            else if (c == '\r')
                line.append("\\r");
            else
                line.push_back(c);
        }
        line.push_back('\n');
    }

    // <app.path.work>/<app.name>.log of the primary domain, re-read only when the domain
    // changed. Read outside m_mutex: the domain takes its own lock and may log itself.
    std::string CurrentPath()
    {
        CDom* dom = CDom::Primary();
        if (!dom)
            return Cached();
        unsigned long generation = dom->Generation();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (dom == m_dom && generation == m_generation)
                return m_path;
        }
        std::string work = dom->Get("app.path.work");
        std::string name = dom->Get("app.name");
        wxAppConsole* app = wxAppConsole::GetInstance();
        if (name.empty() && app)
            name = app->GetAppName().utf8_string();
        if (name.empty())
            name = "agent";
        std::string path;
        if (!work.empty()) {
            path = work;
            if (path.back() != '/')
                path.push_back('/');
            path += name + ".log";
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dom = dom;
        m_generation = generation;
        m_path = path;
        return m_path;
    }

    std::string Cached()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_path;
    }

    // Keeps a descriptor on the current file; reopens when the path changed or another
    // process rotated or removed the file underneath us.
    bool EnsureOpen(const std::string& path)
    {
        struct stat onDisk;
        bool exists = ::stat(path.c_str(), &onDisk) == 0;
        if (m_fd >= 0 && path == m_openPath && exists && onDisk.st_dev == m_dev && onDisk.st_ino == m_ino)
            return true;
        CloseFile();
        // The work folder may be shared: never append through a link, nor to anything but a
        // regular file.
        int fd = -1;
        struct stat opened;
        if (fdio::OpenRegularFile(path, fd, opened, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0640) !=
            fdio::OpenResult::Opened)
            return false;
        m_fd = fd;
        m_dev = opened.st_dev;
        m_ino = opened.st_ino;
        m_openPath = path;
        return true;
    }

    void CloseFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_openPath.clear();
    }

    void RotateIfFull()
    {
        struct stat st;
        if (::fstat(m_fd, &st) != 0 || st.st_size < kRotateBytes)
            return;
        // Another process may have rotated already; only the one still writing to the
        // file under its base name shifts the generations.
        struct stat onDisk;
        if (::stat(m_openPath.c_str(), &onDisk) != 0 || onDisk.st_dev != m_dev || onDisk.st_ino != m_ino) {
            CloseFile();
            return;
        }
        for (int i = kKeepGenerations - 1; i >= 1; --i) {
            std::string from = m_openPath + "." + std::to_string(i);
            std::string to = m_openPath + "." + std::to_string(i + 1);
            ::rename(from.c_str(), to.c_str());
        }
        std::string first = m_openPath + ".1";
        ::rename(m_openPath.c_str(), first.c_str());
        CloseFile();
    }

    std::mutex m_mutex;
    const CDom* m_dom = nullptr;
    unsigned long m_generation = 0;
    std::string m_path;
    int m_fd = -1;
    std::string m_openPath;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

const char* levelName(wxLogLevel level)
{
    switch (level) {
    case wxLOG_FatalError:
    case wxLOG_Error: return "ERROR";
    case wxLOG_Warning: return "WARNING";
    case wxLOG_Message:
    case wxLOG_Status:
    case wxLOG_Progress: return "MESSAGE";
    case wxLOG_Info: return "VERBOSE";
    case wxLOG_Debug: return "DEBUG";
    case wxLOG_Trace: return "TRACE";
    default:
        // Levels of our own above the framework's are diagnostics.
        return "DEBUG";
    }
}

bool isWarningOrWorse(const char* name)
{
    return std::strcmp(name, "ERROR") == 0 || std::strcmp(name, "WARNING") == 0;
}

}  // namespace

const char kLogKeyShownOnStderr[] = "vka.shown_on_stderr";

CLog2Disk::CLog2Disk() = default;

void CLog2Disk::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info)
{
    // The framework has already appended " (error <n>: <text>)" for system errors.
    const wxScopedCharBuffer text = msg.utf8_str();
    long long millis = info.timestampMS ? static_cast<long long>(info.timestampMS) : wallClockMillis();
    // An operator at a terminal sees warnings and errors as they happen, but not twice a text
    // the program has already printed there itself.
    wxUIntPtr shown = 0;
    const bool echo = level <= wxLOG_Warning && !info.GetNumValue(kLogKeyShownOnStderr, &shown);
    DiskLogFile::Instance().Write(levelName(level), text.data(), text.length(), millis, echo);
}

void WriteLogLine(const char* levelName, const std::string& text)
{
    const char* name = levelName ? levelName : "MESSAGE";
    DiskLogFile::Instance().Write(name, text.data(), text.size(), wallClockMillis(), isWarningOrWorse(name));
}

void WriteTerminalLine(const char* levelName, const std::string& text)
{
    DiskLogFile::WriteToTerminal(levelName ? levelName : "MESSAGE", text, wallClockMillis());
}

}  // namespace VkaCore

void VkaCoreLogWarning(const char* utf8Text)
{
    wxString text = wxString::FromUTF8(utf8Text);
    if (text.empty() && *utf8Text)
        text = wxString::From8BitData(utf8Text);
    wxLogWarning("%s", text);
}
