#pragma once
// What the relay and the module "update" agree on beyond the calls declared in kvtrelay.h: the
// repository's files and sections, the package names, and the component and event numbers.
// The module's side of each is in modules/update/relay_contract.h.

#include <cstddef>
#include <cstdint>

#include "kvtrelay.h"

namespace kvtrelay {
namespace contract {

/// The repository's index of components and its folder of packages.
const char* const kServerIni = "server.ini";
const char* const kPackagesFolder = "packages";
/// The sections of server.ini the relay writes, in this order; the module's stub of an emptied
/// repository has the same three.
const char* const kPatternSection = "[PATTERN]";
const char* const kEngineSection = "[ENGINE]";
const char* const kProductSection = "[All_Product]";

/// A package is "<entity id>.zip". The module's clean-up takes a "<name>.zip" longer than this
/// for one the relay fetched, so every package name must be longer (an entity id alone is).
const char* const kPackageSuffix = ".zip";
const size_t kServerPackageMinLength = 10;

/// Files the relay keeps beside them. None ends in ".zip", so the module's clean-up leaves them.
const char* const kLockFile = "relay.lock";
const char* const kRelayLog = "relay.log";
const char* const kRelayLogOld = "relay.log.1";  ///< where relay.log is rotated to
const char* const kPartSuffix = ".part";         ///< "<package>.part": a download not yet complete
const char* const kTempSuffix = ".tmp";          ///< "server.ini.<pid>.<random>.tmp": written, then renamed
/// The repository as a source for the next tier, in the grammar the relay reads.
const char* const kIndexFile = "index.txt";
/// What the relay verified and what it pruned but keeps one more run (relay_state.h).
const char* const kStateFile = "relay.state";
/// The copy of the source's index with the server's validators (kept_index.h).
const char* const kKeptIndexFile = "relay.source-index";

/// The relay keeps repositories apart with record locks on kLockFile; it no longer makes the
/// named semaphore that the module still removes.

/// Engines have their own section in server.ini; every other class goes under kPatternSection.
const int32_t kKlassEngine = 2;

/// The event types of kvtrelay.h, which the module names one by one.
const int kEventTypeCount = KVTRELAY_EVENT_DOWNLOADEND + 1;

}  // namespace contract
}  // namespace kvtrelay
