// Wall-clock time for time stamps of events and log lines.

#include "clock.h"

#include <ctime>

namespace VkaCore {

long long TimeNowMillis()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace VkaCore
