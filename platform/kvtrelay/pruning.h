#pragma once
/// Removing what the repository no longer needs: the versions of each component that the keep
/// count no longer asks for, and what killed or failed runs left behind.

#include "product_selection.h"
#include "relay_context.h"
#include "repository.h"

namespace kvtrelay {

/// Removes all but the newest keepCount + 1 versions of every component, their packages and
/// their records; a package that cannot be removed keeps its record. False when cancelled.
bool PruneOldVersions(KVTRELAY_Context& context, CRepository& repository);

/// Removes from the repository at root what no run will finish or record: part files and
/// unrecorded packages of component versions that the repository does not hold and selection
/// does not fetch, and the server.ini temporaries of runs that no longer run. Only regular
/// files are removed, through the real folders. Called with the repository's lock held.
void RemoveLeftovers(const std::string& root, const CRepository& repository, const Selection& selection);

}  // namespace kvtrelay
