#pragma once
// Removing the versions of each component that the keep count no longer asks for.

#include "relay_context.h"
#include "repository.h"

namespace kvtrelay {

/// Removes all but the newest keepCount + 1 versions of every component, their packages and
/// their records; a package that cannot be removed keeps its record. False when cancelled.
bool PruneOldVersions(KVTRELAY_Context& context, CRepository& repository);

}  // namespace kvtrelay
