// The one-agent lock. A POSIX record lock rather than a pid check: the kernel drops it when its
// holder dies however it died, and a pid that has been reused never looks like a live agent.
#include "agent_lock.h"
#include "agent_app_helpers.h"

#include "record_lock.h"
#include "regular_file.h"

#include <wx/log.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a waiting start looks again; only a start with an agent still ending waits at all.
constexpr int kPollMs = 100;

// The open lock file; closing any descriptor of it would drop the process's lock, so there is
// exactly one, open until the process ends.
class CLockFile {
public:
    // Never through a link planted in a shared work folder, and only a regular file.
    explicit CLockFile(const std::string& path)
    {
        struct stat st;
        if (fdio::OpenRegularFile(path, m_fd, st, O_RDWR | O_CREAT | O_NOFOLLOW, 0600) != fdio::OpenResult::Opened)
            m_fd = -1;
    }
    ~CLockFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CLockFile(const CLockFile&) = delete;
    CLockFile& operator=(const CLockFile&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

}  // namespace

bool TakeAgentLock(const wxString& path)
{
    // Static: the lock lives as long as the worker.
    static CLockFile s_file(PathBytes(path));
    if (s_file.Fd() < 0) {
        // Like a pid file that cannot be written: the agent runs, but the operator must learn
        // that nothing keeps a second one from starting beside it.
        wxLogSysError("Unable to open the agent lock %s; running without it", path);
        return true;
    }
    const int err = fdio::LockRecord(s_file.Fd(), true);
    if (err == 0)
        return true;
    const pid_t holder = fdio::LockHolder(s_file.Fd());
    if (holder > 0)
        wxLogError("Another agent of this name runs (pid %d holds %s); this worker ends", static_cast<int>(holder),
                   path);
    else
        wxLogSysError(err, "Unable to lock %s", path);
    return false;
}

pid_t AwaitAgentLockFree(const wxString& path, int ms)
{
    const CLockFile file(PathBytes(path));
    if (file.Fd() < 0) {
        // No file, no earlier agent; a folder we may not write is the worker's to report.
        return 0;
    }
    bool told = false;
    for (int waited = 0;; waited += kPollMs) {
        const pid_t holder = fdio::LockHolder(file.Fd());
        if (holder <= 0)
            return 0;
        if (waited >= ms)
            return holder;
        if (!told)
            wxLogWarning("An earlier agent of this name (pid %d) is still ending; waiting for it",
                         static_cast<int>(holder));
        told = true;
        const timespec pause = {0, kPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}
