#pragma once
// The relay's progress events, delivered to Lua handlers from the options table.

#include "kvtrelay.h"

namespace UpdateEvents {

/// Relay event callback, the one function subscribed for every event type. `userData` is the Lua state of the operation in progress, whose
/// argument 4 is the options table. Returns 0 when the handler's result is true, else 1.
int Callback(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* userData);

}  // namespace UpdateEvents
