#pragma once
// What the module and the relay library agree on beyond the calls declared in relay/kvtrelay.h:
// the repository's files, the relay's semaphore and the component numbers both sides test.
// The relay's side of each is in platform/kvtrelay/relay_contract.h.

#include <cstdint>

namespace RelayContract {

/// File of the named semaphore the relay once made (it no longer does); the module still
/// removes it after every operation.
const char* const kSemaphoreFile = "/dev/shm/sem.kvtrelay";

/// The repository's index of components and its folder of packages.
const char* const kServerIni = "server.ini";
const char* const kPackagesFolder = "packages";
/// The file whose record lock keeps writers of one repository apart, and the environment
/// variable that sets how many seconds a writer waits for it (60 without it).
const char* const kLockFile = "relay.lock";
const char* const kLockTimeoutVariable = "KVTRELAY_LOCK_TIMEOUT";
const int kDefaultLockTimeout = 60;
/// server.ini of an emptied repository: its three sections, in the relay's order.
const char* const kServerIniStub = "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n";

/// The repository's index for the next tier, and its text once the removal step has emptied
/// the repository: the header alone.
const char* const kIndexFile = "index.txt";
const char* const kEmptyIndex = "kvtrelay-index 1\n";

/// A package the update server left behind is "<name>.zip" with a name longer than this;
/// shorter names and merged packages ("..._merged.zip") are the repository's own.
const size_t kServerPackageMinLength = 10;
const char* const kPackageSuffix = ".zip";
const char* const kMergedPackageSuffix = "_merged.zip";

/// Component classes and the types that select among them.
const int32_t kKlassEngine = 2;
const int32_t kKlassPattern = 3;
const int32_t kTypeMezra = 4;  ///< the pattern that patternsExceptMezra leaves out
const int32_t kKlassRules = 22;
const int32_t kTypeVkru = 2213;  ///< the rules component that travels with the patterns

}  // namespace RelayContract
