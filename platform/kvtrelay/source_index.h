#pragma once
// The index an update source offers: products, their components and each component's package.

#include <cstdint>
#include <string>
#include <vector>

#include "kvtrelay.h"

namespace kvtrelay {

/// Name of the index file in a source folder.
extern const char* const kIndexName;

/// One component of a product with the package that carries it.
struct IndexComponent {
    KVTRELAY_EntityItem entity;
    std::string package;  ///< path relative to the source folder, "/"-separated
    uint64_t size = 0;
    std::string sha256;  ///< 64 lower-case hex digits
};

struct IndexProduct {
    KVTRELAY_EntityItem entity;
    std::vector<IndexComponent> components;
};

struct SourceIndex {
    std::vector<IndexProduct> products;
};

/// Parses index text. On failure returns false with a message naming the line.
bool ParseIndex(const std::string& text, SourceIndex& index, std::string& error);

/// True for a package path the relay accepts: relative, "/"-separated, parts made of letters,
/// digits, ".", "_", "-" and "+", no "." or ".." parts.
bool IsSafePackagePath(const std::string& path);

}  // namespace kvtrelay
