// The limits and the failure texts that both http clients share.

#include "http_get.h"

#include <algorithm>
#include <mutex>

#include "kvtrelay.h"

namespace kvtrelay {

namespace {

std::mutex g_limitsMutex;
TransferLimits g_limits;

}  // namespace

void SetTransferLimits(const TransferLimits& limits)
{
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    g_limits = limits;
}

TransferLimits GetTransferLimits()
{
    std::lock_guard<std::mutex> lock(g_limitsMutex);
    return g_limits;
}

TransferBounds BoundsFor(const TransportSettings& settings, uint64_t expected)
{
    // A bandwidth limit below the limits' rates lowers them to fit, or every limited transfer
    // would count as too slow.
    TransferLimits limits = GetTransferLimits();
    long minRate = limits.minRate;
    uint64_t deadlineRate = std::max<uint64_t>(1, limits.deadlineRate);
    long readSize = 256L * 1024L;
    if (settings.maxBandwidth > 0) {
        minRate = std::min<long>(minRate, std::max<long>(1, static_cast<long>(settings.maxBandwidth / 2)));
        deadlineRate = std::min<uint64_t>(deadlineRate, std::max<uint64_t>(1, settings.maxBandwidth / 2));
        // Small reads let the pacing stay smooth.
        readSize = std::max(1024L, std::min(readSize, static_cast<long>(settings.maxBandwidth / 10)));
    }
    uint64_t seconds = static_cast<uint64_t>(limits.baseSeconds) + (expected + deadlineRate - 1) / deadlineRate;
    return TransferBounds{minRate, limits.window, std::min<uint64_t>(seconds, 0x7fffffff), readSize};
}

void FailWithStatus(HttpResult& result, long code)
{
    result.status = KVTRELAY_E_DOWNLOAD;
    result.code = code;
    result.error = "HTTP status " + std::to_string(code);
}

void FailRange(HttpResult& result, uint64_t offset, long code)
{
    result.status = KVTRELAY_E_DOWNLOAD;
    result.code = code;
    result.rangeRefused = true;
    result.error = "the server did not resume at byte " + std::to_string(offset) + " (HTTP status " +
                   std::to_string(code) + ")";
}

}  // namespace kvtrelay
