// The index of an update source is read from whatever the source serves. Parsing must accept or
// refuse any text without harm; whatever it accepts must be usable as the relay uses it.
#include "fuzz_support.h"
#include "entity_identity.h"
#include "source_index.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    kvtrelay::SourceIndex index;
    std::string error;
    if (!kvtrelay::ParseIndex(text, index, error)) {
        FUZZ_CHECK(!error.empty());
    } else {
        for (const kvtrelay::IndexProduct& product : index.products) {
            // An id the relay writes must read back as the same entity.
            KVTRELAY_EntityItem back;
            FUZZ_CHECK(kvtrelay::ParseEntityId(kvtrelay::EntityId(product.entity), back));
            FUZZ_CHECK(kvtrelay::SameComponent(back, product.entity));
            FUZZ_CHECK(kvtrelay::CompareVersions(back.version, product.entity.version) == 0);
            for (const kvtrelay::IndexComponent& component : product.components) {
                FUZZ_CHECK(kvtrelay::IsSafePackagePath(component.package));
                (void)kvtrelay::ItemMatches(product.entity, component.entity);
            }
        }
    }

    // The same text as one entity id, as found in repository records.
    KVTRELAY_EntityItem entity;
    if (kvtrelay::ParseEntityId(text, entity)) {
        KVTRELAY_EntityItem again;
        FUZZ_CHECK(kvtrelay::ParseEntityId(kvtrelay::EntityId(entity), again));
        FUZZ_CHECK(kvtrelay::SameComponent(again, entity) &&
                   kvtrelay::CompareVersions(again.version, entity.version) == 0);
    }
    return 0;
}
