#pragma once
// The relay's progress events, delivered to Lua handlers from the options table.

#include "kvtrelay.h"

/// Number of named relay event types: the relay's event types run from 0 to
/// KVTRELAY_EVENT_DOWNLOADEND (its side: kEventTypeCount in platform/kvtrelay/relay_contract.h).
const int kEventCount = KVTRELAY_EVENT_DOWNLOADEND + 1;

/// Names of the relay event types as options and handlers know them, indexed by KVTRELAY_EventType.
extern const char* const g_eventNames[kEventCount];

namespace UpdateEvents {

/// Relay event callback, the one function subscribed for every event type. `userData` is the Lua state of the operation in progress, whose
/// argument 4 is the options table. Returns 0 when the handler's result is true, else 1.
int Callback(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* userData);

}  // namespace UpdateEvents
