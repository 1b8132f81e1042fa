#pragma once
// A scriptable stand-in for the update relay library, for tests of the module "update".
// It answers with scripted statuses, versions, informations and events, and records every
// call it receives so that tests can check what the module passed and what it released.

#include <map>
#include <string>
#include <vector>

#include "kvtrelay.h"

/// One product of a scripted information, with its items.
struct KvtDoubleProduct {
    KVTRELAY_EntityItem entity;
    std::vector<KVTRELAY_EntityItem> items;
    /// When not 0, reported as the item count instead of items.size(), with a null item pointer.
    uint64_t forcedItemCount = 0;
};

/// A scripted information; `present` false makes the call hand back a null information.
struct KvtDoubleInformation {
    bool present = false;
    std::vector<KvtDoubleProduct> products;
};

/// An event fired during GetInformation or Duplicate.
struct KvtDoubleEvent {
    int type = 0;
    bool hasMessage = false;
    bool hasInformation = false;
    std::wstring information;
    uint64_t total = 0;
    uint64_t finished = 0;
    /// Deliver through any subscribed callback even when this type itself has none.
    bool anyCallback = false;
};

/// A source as the double received it.
struct KvtDoubleSource {
    bool hasUrl = false;
    std::wstring url;
    bool hasProxy = false;
    int32_t proxyType = 0;
    std::wstring host, user, password;
    bool hasHost = false, hasUser = false, hasPassword = false;
    uint16_t port = 0;
};

/// A request (products and sources) as the double received it.
struct KvtDoubleRequest {
    bool seen = false;
    bool productsNull = true;
    std::vector<KvtDoubleProduct> products;
    std::vector<KvtDoubleSource> sources;
};

/// Everything the double is told and everything it records.
struct KvtDoubleState {
    // Script.
    std::map<std::string, int32_t> statuses;  ///< per function name; default 1
    std::wstring statusMessage = L"ok";
    KVT_Version version{2, 1, 7, 30};
    KvtDoubleInformation getInformation;
    KvtDoubleInformation duplicate;
    std::vector<KvtDoubleEvent> events;

    // Records.
    std::map<std::string, int> calls;  ///< per function name
    long startupsEver = 0;             ///< never reset
    long liveContexts = 0;
    long liveInformations = 0;
    std::wstring lastRepository;
    bool lastRepositoryNull = false;
    std::vector<std::pair<int32_t, int64_t>> options;
    std::vector<int> subscriptions;
    std::vector<int> callbackResults;  ///< -1 when no callback was found
    KvtDoubleRequest getInformationRequest;
    KvtDoubleRequest duplicateRequest;
    std::wstring exportDestination;
    KVTRELAY_EntityItem exportEntity{};
};

extern "C" {
/// The double's state; tests script it and read its records.
KVTRELAY_API KvtDoubleState* kvtrelay_double_state();
/// Forgets the script and the records (not the count of start-ups).
KVTRELAY_API void kvtrelay_double_reset();
}
