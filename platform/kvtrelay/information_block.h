#pragma once
/// The information record handed to callers: one block that KVTRELAY_DestroyData frees whole.

#include "kvtrelay.h"
#include "product_selection.h"

namespace kvtrelay {

/// Builds the library-owned information record (one block) for a selection; null without memory.
KVTRELAY_Information* MakeInformation(const Selection& selection);

}  // namespace kvtrelay
