// The crash report: on a fatal signal, a short text file saying what happened and where,
// then the default action, so the parent still sees the signal in the wait status.

#include "crash_handler.h"
#include "crash_alt_stack.h"
#include "fd_write.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__has_include)
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define VKA_HAVE_BACKTRACE 1
#endif
#endif

namespace VkaCore {

namespace {

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kAltStackBytes = 128 * 1024;
constexpr int kMaxFrames = 64;

// Everything the handler needs is prepared here beforehand: it may not allocate.
char g_dumpPath[4096];
// The earlier reports kept beside the newest: <dump>.1 (the one before) to <dump>.3.
constexpr int kKeptReports = 3;
char g_keptPaths[kKeptReports][4096 + 4];
char g_appName[256];
std::atomic<bool> g_installed{false};

// --- async-signal-safe output --------------------------------------------------------

// WriteAll only calls write(2), so it is safe here.
void put(int fd, const char* s)
{
    fdio::WriteAll(fd, s, strlen(s));
}

void putUnsigned(int fd, unsigned long long v, unsigned base)
{
    char buf[32];
    char* p = buf + sizeof buf;
    *--p = '\0';
    do {
        unsigned d = static_cast<unsigned>(v % base);
        *--p = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        v /= base;
    } while (v);
    if (base == 16) {
        *--p = 'x';
        *--p = '0';
    }
    put(fd, p);
}

void putSigned(int fd, long long v)
{
    if (v < 0) {
        put(fd, "-");
        putUnsigned(fd, static_cast<unsigned long long>(-(v + 1)) + 1, 10);
    } else {
        putUnsigned(fd, static_cast<unsigned long long>(v), 10);
    }
}

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

// The backtrace of the crashing thread, or a note that this platform has none.
void writeBacktrace(int fd)
{
#ifdef VKA_HAVE_BACKTRACE
    void* frames[kMaxFrames];
    int n = backtrace(frames, kMaxFrames);
    backtrace_symbols_fd(frames, n, fd);
#else
    put(fd, "(no backtrace on this platform)\n");
#endif
}

// Moves the earlier reports one number up, the oldest out: rename is safe in a handler, and
// the newest report then always has the plain name.
void keepEarlierReports()
{
    if (g_keptPaths[0][0] == '\0')
        return;
    for (int i = kKeptReports - 1; i > 0; --i)
        ::rename(g_keptPaths[i - 1], g_keptPaths[i]);
    ::rename(g_dumpPath, g_keptPaths[0]);
}

void crashHandler(int sig, siginfo_t* info, void*)
{
    int saved = errno;
    keepEarlierReports();
    // Never through a link planted in the work folder, never waiting on a FIFO, and only into
    // a regular file (fdio's helpers build strings, which a signal handler may not).
    int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd >= 0) {
        put(fd, "Crash report\napplication: ");
        put(fd, g_appName);
        put(fd, "\npid: ");
        putSigned(fd, static_cast<long long>(::getpid()));
        put(fd, "\ntime: ");
        putSigned(fd, static_cast<long long>(::time(nullptr)));
        put(fd, "\nsignal: ");
        putSigned(fd, sig);
        put(fd, " (");
        put(fd, signalName(sig));
        put(fd, ")\ncode: ");
        putSigned(fd, info ? info->si_code : 0);
        put(fd, "\nfault address: ");
        putUnsigned(fd, reinterpret_cast<unsigned long long>(info ? info->si_addr : nullptr), 16);
        put(fd, "\nbacktrace:\n");
        writeBacktrace(fd);
        put(fd, "end of report\n");
        ::close(fd);
    }
    // Default action and the same signal again: the process dies of it, a core file is
    // written where allowed, and a waiting parent sees the signal.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(sig);
    errno = saved;
}

void copyBounded(char* dst, size_t cap, const char* src)
{
    size_t len = src ? strlen(src) : 0;
    if (len >= cap)
        len = cap - 1;
    memcpy(dst, src ? src : "", len);
    dst[len] = '\0';
}

}  // namespace

void InstallCrashAltStack()
{
    if (!g_installed.load())
        return;
    stack_t current;
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return;  // this thread has one already
    // One stack per thread, kept until the process ends: a thread that ends leaves it
    // behind, which is cheap next to the few long-lived threads of the agent.
    void* mem = ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    if (mem == MAP_FAILED)
        return;
    stack_t ss;
    memset(&ss, 0, sizeof ss);
    ss.ss_sp = mem;
    ss.ss_size = kAltStackBytes;
    ss.ss_flags = 0;
    if (::sigaltstack(&ss, nullptr) != 0)
        ::munmap(mem, kAltStackBytes);
}

bool InitCrashHandler(const wxString& dumpFile, const wxString& appName, bool fullDump)
{
    const wxScopedCharBuffer path = dumpFile.fn_str();
    if (!path.data() || !*path.data())
        return false;
    copyBounded(g_dumpPath, sizeof g_dumpPath, path.data());
    const size_t length = strlen(g_dumpPath);
    for (int i = 0; i < kKeptReports; ++i) {
        // A path cut short by copyBounded would name some other file: keep none then.
        if (length + 1 >= sizeof g_dumpPath) {
            g_keptPaths[0][0] = '\0';
            break;
        }
        memcpy(g_keptPaths[i], g_dumpPath, length);
        g_keptPaths[i][length] = '.';
        g_keptPaths[i][length + 1] = static_cast<char>('1' + i);
        g_keptPaths[i][length + 2] = '\0';
    }
    copyBounded(g_appName, sizeof g_appName, appName.utf8_str().data());

    struct rlimit core;
    if (::getrlimit(RLIMIT_CORE, &core) == 0) {
        core.rlim_cur = fullDump ? core.rlim_max : 0;
        ::setrlimit(RLIMIT_CORE, &core);
    }

#ifdef VKA_HAVE_BACKTRACE
    // The first call loads the unwinder, which allocates; do it now, not in the handler.
    void* warm[2];
    backtrace(warm, 2);
#endif

    g_installed.store(true);
    InstallCrashAltStack();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = crashHandler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    bool ok = true;
    for (int sig : kCrashSignals)
        ok = ::sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}

}  // namespace VkaCore
