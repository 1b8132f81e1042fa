#pragma once
// Removing what the repository no longer needs: the versions of each component that the keep
// count no longer asks for, in two steps a run apart so that a reader of the previous index
// never meets a missing file, and what killed or failed runs left behind.

#include <cstdint>
#include <map>
#include <string>

#include "product_selection.h"
#include "relay_context.h"
#include "relay_state.h"
#include "repository.h"

namespace kvtrelay {

/// Takes the versions beyond the keep count off the repository's record (removebegin for each)
/// and notes their files in state as pruned; the files stay for now. False when a handler
/// asked to stop.
bool PruneOldVersions(KVTRELAY_Context& context, CRepository& repository, CRelayState& state);

/// Deletes the files in `earlier` (pruned by an earlier run) that the repository does not hold
/// again; a file that cannot be deleted stays noted for the next run (removefailed). False
/// when a handler asked to stop.
bool DeletePrunedFiles(KVTRELAY_Context& context, const CRepository& repository, CRelayState& state,
                       const std::map<std::string, uint64_t>& earlier);

/// Removes from the repository at root what no run will finish or record: part files and
/// unrecorded packages of component versions that the repository does not hold, selection
/// does not fetch and state does not keep as pruned, and the server.ini temporaries of runs
/// that no longer run. Only regular files are removed, through the real folders. Called with
/// the repository's lock held.
void RemoveLeftovers(const std::string& root, const CRepository& repository, const Selection& selection,
                     const CRelayState& state);

}  // namespace kvtrelay
