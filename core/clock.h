#pragma once
// The core library's clock.

namespace VkaCore {

/// Wall-clock time in milliseconds since the epoch.
long long TimeNowMillis();

}  // namespace VkaCore
