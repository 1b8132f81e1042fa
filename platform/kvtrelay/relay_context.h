#pragma once
/// The state behind a KVTRELAY_Context and the operations that run on it.

#include <cstdint>
#include <string>
#include <vector>

#include "kvtrelay.h"
#include "source_index.h"

/// A context: one repository, its options and the event subscriptions of one caller.
struct KVTRELAY_Context {
    std::string repository;  ///< UTF-8 folder path
    int64_t maxBandwidth = 0;
    int64_t buildPatch = 0;
    int64_t maxMerge = 0;
    int64_t diffCount = 0;
    int64_t keepCount = 1;
    int64_t httpsLevel = 0;
    struct Subscription {
        KVTRELAY_EventCallback callback = nullptr;
        void* userData = nullptr;
    } events[6];

    /// Reports an event; false when the subscriber asked to cancel.
    bool Emit(KVTRELAY_EventType type, const std::string& information, uint64_t total, uint64_t finished);
};

namespace kvtrelay {

/// The default number of older versions kept beside the newest one of each component.
const int64_t kDefaultKeepCount = 1;

/// What an operation selects from a source: offered products and their chosen components.
struct Selection {
    std::vector<IndexProduct> products;
};

/// Chooses, from an index, the offered products that match any requested product and their
/// components (those matching the request's items when it has any, else all).
Selection SelectProducts(const SourceIndex& index, const KVTRELAY_Product* products, uint64_t count);

/// Reads the index of the first source that can be read. Status of the last source tried
/// when none can.
int32_t ReadSources(KVTRELAY_Context& context, const KVTRELAY_Source* sources, uint64_t count,
                    class CTransport*& transport, SourceIndex& index);

/// Mirrors the selection into the repository. Status as KVTRELAY_Duplicate.
int32_t MirrorSelection(KVTRELAY_Context& context, CTransport& transport, const Selection& selection);

/// Unpacks the repository's package of entity into destination. Status as KVTRELAY_ExportComponent.
int32_t ExportFromRepository(KVTRELAY_Context& context, const std::string& destination,
                             const KVTRELAY_EntityItem& entity);

/// Builds the library-owned information record (one block) for a selection; null without memory.
KVTRELAY_Information* MakeInformation(const Selection& selection);

}  // namespace kvtrelay
