#pragma once
/// The state behind a KVTRELAY_Context: its repository, options and event subscriptions.

#include <cstdint>
#include <string>

#include "kvtrelay.h"
#include "relay_contract.h"

namespace kvtrelay {

/// The default number of older versions kept beside the newest one of each component.
const int64_t kDefaultKeepCount = 1;

}  // namespace kvtrelay

/// A context: one repository, its options and the event subscriptions of one caller.
struct KVTRELAY_Context {
    std::string repository;  ///< UTF-8 folder path
    int64_t maxBandwidth = 0;
    int64_t buildPatch = 0;
    int64_t maxMerge = 0;
    int64_t diffCount = 0;
    int64_t keepCount = kvtrelay::kDefaultKeepCount;
    int64_t httpsLevel = 0;
    struct Subscription {
        KVTRELAY_EventCallback callback = nullptr;
        void* userData = nullptr;
    } events[kvtrelay::contract::kEventTypeCount];

    /// Reports an event; false when the subscriber asked to cancel.
    bool Emit(KVTRELAY_EventType type, const std::string& information, uint64_t total, uint64_t finished);
};
