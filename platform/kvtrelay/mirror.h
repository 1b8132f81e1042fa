#pragma once
// Mirroring a selection into the repository.

#include <cstdint>

#include "product_selection.h"
#include "relay_context.h"
#include "transport.h"

namespace kvtrelay {

/// Fetches the selection's packages into the repository under its lock, records them in
/// server.ini and prunes old versions after a complete run. Status as KVTRELAY_Duplicate.
int32_t MirrorSelection(KVTRELAY_Context& context, CTransport& transport, const Selection& selection);

}  // namespace kvtrelay
