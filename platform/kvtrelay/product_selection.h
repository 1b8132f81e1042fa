#pragma once
/// Choosing, from a source's index, what an operation lists or mirrors.

#include <cstdint>
#include <vector>

#include "kvtrelay.h"
#include "source_index.h"

namespace kvtrelay {

/// What an operation selects from a source: offered products and their chosen components.
struct Selection {
    std::vector<IndexProduct> products;
};

/// Chooses, from an index, the offered products that match any requested product and their
/// components (those matching the request's items when it has any, else all).
Selection SelectProducts(const SourceIndex& index, const KVTRELAY_Product* products, uint64_t count);

}  // namespace kvtrelay
