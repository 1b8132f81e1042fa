// The library's thread base: a joinable framework thread that logs straight to disk.

#include "runnable.h"

#include "crash_alt_stack.h"
#include "log2disk.h"

#include <wx/log.h>

#include <csignal>
#include <cstring>
#include <mutex>

#include <pthread.h>

namespace VkaCore {

namespace {

void ignoreSignal(int) {}

// Sending the thread-delete signal to a thread must interrupt a blocking call, never end
// the process: when nobody handles it yet, a handler that does nothing is put in place
// (without SA_RESTART, so the interrupted call fails with EINTR).
void ensureDeleteSignalHandled()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current;
        if (::sigaction(CRunnable::SigThreadDelete(), nullptr, &current) != 0)
            return;
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler != SIG_DFL)
            return;
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction)
            return;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = ignoreSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(CRunnable::SigThreadDelete(), &sa, nullptr);
    });
}

}  // namespace

CRunnable::CRunnable(bool /*detached*/, int /*id*/, bool /*flag*/) : wxThread(wxTHREAD_JOINABLE), m_wake(m_wakeMutex) {}

CRunnable::~CRunnable()
{
    // A thread still running here would run OnRun of an object half destroyed; the owner
    // joins first. This is the last line of defence for the framework's own bookkeeping.
    if (m_started.load() && !m_joined.load() && wxThread::This() != this) {
        requestExit();
        join();
    }
}

bool CRunnable::TestDestroy()
{
    if (m_exitRequested.load())
        return true;
    // The framework's own check may only be made by the thread itself.
    return wxThread::This() == this && wxThread::TestDestroy();
}

wxThread::ExitCode CRunnable::Entry()
{
    InstallCrashAltStack();
    // Messages of this thread go to the disk at once. Without a target of its own the
    // framework queues them for the main thread, and a process that ends with exit()
    // before the main thread flushes would lose them.
    m_threadLog.reset(new CLog2Disk);
    wxLog* previous = wxLog::SetThreadActiveTarget(m_threadLog.get());
    OnRun();
    wxLog::SetThreadActiveTarget(previous);
    return nullptr;
}

void CRunnable::OnDelete()
{
    requestExit();
}

void CRunnable::OnKill() {}

void CRunnable::OnExit() {}

void CRunnable::Delete()
{
    requestExit();
    join();
}

const char* CRunnable::GetThreadName() const
{
    return "CRunnable";
}

void CRunnable::Awaken()
{
    wxMutexLocker lock(m_wakeMutex);
    m_awakened.store(true);
    m_wake.Broadcast();
}

void CRunnable::interrupt()
{
    if (!m_started.load() || m_joined.load() || !IsRunning())
        return;
    ensureDeleteSignalHandled();
    ::pthread_kill(m_handle, SigThreadDelete());
}

void CRunnable::requestExit()
{
    wxMutexLocker lock(m_wakeMutex);
    m_exitRequested.store(true);
    m_wake.Broadcast();
}

bool CRunnable::TestDestroy(unsigned int ms, bool* awakened)
{
    wxMilliClock_t deadline = wxGetLocalTimeMillis() + static_cast<long>(ms);
    wxMutexLocker lock(m_wakeMutex);
    while (!m_exitRequested.load() && !m_awakened.load()) {
        wxMilliClock_t now = wxGetLocalTimeMillis();
        if (now >= deadline)
            break;
        m_wake.WaitTimeout(static_cast<unsigned long>((deadline - now).GetValue()));
    }
    bool woken = m_awakened.exchange(false);
    if (awakened)
        *awakened = woken;
    return m_exitRequested.load();
}

int CRunnable::start(int priority, bool /*joinable*/, unsigned int stackSize)
{
    if (m_started.load())
        return wxTHREAD_RUNNING;
    wxThreadError rc = Create(stackSize);
    if (rc != wxTHREAD_NO_ERROR)
        return rc;
    // Known before the thread runs, so interrupt() right after start() has a target.
    m_handle = static_cast<pthread_t>(GetId());
    if (priority != wxPRIORITY_DEFAULT && priority >= 0 && priority <= 100)
        SetPriority(static_cast<unsigned int>(priority));
    // The new thread inherits the calling thread's signal mask.
    m_started.store(true);
    rc = Run();
    if (rc != wxTHREAD_NO_ERROR) {
        m_started.store(false);
        return rc;
    }
    return 0;
}

void CRunnable::join()
{
    if (!m_started.load() || wxThread::This() == this)
        return;
    std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_joined.load())
        return;
    Wait();
    m_joined.store(true);
}

int CRunnable::SigThreadDelete()
{
#ifdef SIGRTMIN
    // A real-time signal nobody else in the agent uses; the first two above SIGRTMIN are
    // left for other libraries that take the lowest ones.
    return SIGRTMIN + 2;
#else
    return SIGUSR2;
#endif
}

}  // namespace VkaCore
