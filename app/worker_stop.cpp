// A daemon worker's stop: a thread of its own takes the stop requests, so a request reaches the
// worker whatever its Lua code is doing. It sleeps in sigwait while none is pending; once one
// is, it waits with a deadline for the grace period (then interrupts running Lua) and for the
// limit (then ends the process).
#include "worker_stop.h"
#include "worker_signals.h"

#include "log2disk.h"
#include "runnable.h"

#include <wx/log.h>

#include <lua.hpp>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

// Exit code of a worker that ended itself because its stop took too long.
constexpr int kStopLimitExitCode = 1;

enum class Phase { Starting, Interruptible, Awaiting, ShuttingDown };

std::mutex s_mutex;
std::condition_variable s_stopTaken;
bool s_taken = false;
bool s_watching = false;
Phase s_phase = Phase::Starting;
lua_State* s_L = nullptr;
volatile bool s_interrupted = false;

int limitFromEnvironment(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value > 0 && value <= fallback) ? static_cast<int>(value) : fallback;
}

// The hook the standalone interpreter sets on an interrupt: it fires at the next instruction,
// call or return of the running Lua code and raises an error there. It clears itself, so the
// error's message handler and the code after it run unhooked.
void interruptHook(lua_State* L, lua_Debug*)
{
    lua_sethook(L, nullptr, 0, 0);
    s_interrupted = true;
    luaL_error(L, "interrupted: the agent is stopping");
}

// A second stop request within ms, or false when the time ran out.
bool secondRequestWithin(int ms)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
        if (left <= 0)
            return false;
        const timespec wait = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        if (sigtimedwait(&StopSignals(), nullptr, &wait) > 0)
            return true;
        if (errno != EINTR && errno != EAGAIN)
            return false;
    }
}

void interruptRunningLua(int graceMs)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_phase != Phase::Interruptible || s_L == nullptr)
        return;
    wxLogWarning("Lua code still runs %d ms after the stop request; interrupting it", graceMs);
    // lua_sethook may be called from another thread or a signal handler: it only stores the
    // hook and its mask, which the running code reads at its next instruction.
    lua_sethook(s_L, interruptHook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKLINE | LUA_MASKCOUNT, 1);
}

class CStopWatcher : public VkaCore::CRunnable {
public:
    CStopWatcher() : CRunnable(false, -1, false) {}
    const char* GetThreadName() const override { return "CStopWatcher"; }

    void OnRun() override
    {
        TakeStopRequest();
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_taken = true;
        }
        s_stopTaken.notify_all();

        // No timer runs before this point: an idle worker sleeps in sigwait above.
        const StopLimits limits = CurrentStopLimits();
        if (!secondRequestWithin(limits.graceMs)) {
            interruptRunningLua(limits.graceMs);
            if (!secondRequestWithin(limits.limitMs - limits.graceMs)) {
                wxLogError("The worker has not ended %d ms after its stop request; ending it now (exit %d)",
                           limits.limitMs, kStopLimitExitCode);
                _exit(kStopLimitExitCode);
            }
        }
        // A second stop request ends the process at once, even during shutdown.
        _exit(0);
    }
};

CStopWatcher* s_watcher = nullptr;

}  // namespace

StopLimits CurrentStopLimits()
{
    StopLimits limits;
    limits.graceMs = limitFromEnvironment("VKA_STOP_GRACE_MS", limits.graceMs);
    limits.limitMs = limitFromEnvironment("VKA_STOP_LIMIT_MS", limits.limitMs);
    if (limits.graceMs > limits.limitMs)
        limits.graceMs = limits.limitMs;
    return limits;
}

bool StartStopWatcher()
{
    CStopWatcher* watcher = new CStopWatcher();
    const int started = watcher->start(50, true, 0);
    if (started != 0) {
        wxLogError("Unable to start the thread that takes stop requests (error %d); a busy main will not "
                   "be interrupted",
                   started);
        delete watcher;
        return false;
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    // Never deleted: it lives as long as the process, which ends with exit() or _exit().
    s_watcher = watcher;
    s_watching = true;
    return true;
}

void EnterInterruptibleLua(lua_State* L)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_L = L;
    s_phase = Phase::Interruptible;
}

void LeaveInterruptibleLua()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_phase == Phase::Interruptible && s_L != nullptr)
        lua_sethook(s_L, nullptr, 0, 0);
    s_phase = Phase::ShuttingDown;
}

void AwaitStopRequest()
{
    std::unique_lock<std::mutex> lock(s_mutex);
    if (s_phase == Phase::Interruptible && s_L != nullptr)
        lua_sethook(s_L, nullptr, 0, 0);
    s_phase = Phase::Awaiting;
    if (!s_watching) {
        lock.unlock();
        TakeStopRequest();
        // From here a second stop request ends the process at once, even during shutdown.
        pthread_sigmask(SIG_UNBLOCK, &StopSignals(), nullptr);
        lock.lock();
    } else {
        s_stopTaken.wait(lock, []() { return s_taken; });
    }
    s_phase = Phase::ShuttingDown;
}

bool LuaWasInterrupted()
{
    return s_interrupted;
}
