// Profiling hooks around idle waits. They only count, so they can stay in release builds:
// a thread's idle/running state and the process-wide number of idle periods, for a
// debugger or a core file to show where threads were waiting.

#include "profiler.h"

#include <atomic>

namespace {

std::atomic<unsigned long> g_idlePeriods{0};
std::atomic<int> g_idleThreads{0};
thread_local bool t_idle = false;

}  // namespace

void profiler_idle()
{
    if (t_idle)
        return;
    t_idle = true;
    g_idlePeriods.fetch_add(1, std::memory_order_relaxed);
    g_idleThreads.fetch_add(1, std::memory_order_relaxed);
}

void profiler_running()
{
    if (!t_idle)
        return;
    t_idle = false;
    g_idleThreads.fetch_sub(1, std::memory_order_relaxed);
}
