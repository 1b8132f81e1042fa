#pragma once
// Reading the index of an update source, trying the given sources in turn.

#include <cstdint>
#include <memory>

#include "kvtrelay.h"
#include "relay_context.h"
#include "source_index.h"
#include "transport.h"

namespace kvtrelay {

/// Reads the index of the first source that can be read, leaving transport open on it for the
/// packages. Each source that fails is noted in relay.log. Status of the last source
/// tried when none can be read.
int32_t ReadSources(KVTRELAY_Context& context, const KVTRELAY_Source* sources, uint64_t count, std::unique_ptr<CTransport>& transport,
                    SourceIndex& index);

}  // namespace kvtrelay
