#pragma once
// Mirroring a selection into the repository.

#include <cstdint>
#include <map>
#include <string>

#include "product_selection.h"
#include "relay_context.h"
#include "relay_state.h"
#include "repository.h"
#include "transport.h"

namespace kvtrelay {

/// Fetches the selection's packages into the repository under its lock, records them in
/// server.ini and index.txt and prunes old versions after a complete run. Status as KVTRELAY_Duplicate.
int32_t MirrorSelection(KVTRELAY_Context& context, CTransport& transport, const Selection& selection);

/// Ends a run on the locked repository: writes server.ini, then index.txt, then deletes the
/// files in `earlier` (pruned by an earlier run) and saves the relay's state. The run's status,
/// or the first failure of these steps when the run had none.
int32_t Publish(KVTRELAY_Context& context, CRepository& repository, CRelayState& state,
                const std::map<std::string, uint64_t>& earlier, int32_t status);

}  // namespace kvtrelay
