#pragma once
/// The index an update source offers: products, their components and each component's package.

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

/// Formats an entity as "c<klass>t<type>v<major>.<minor>.<build>l<language>p<platform>r<region>o<oem>",
/// the minor written as a four-place fraction without trailing zeros removed ("0005", "5000", "0").
std::string EntityId(const KVTRELAY_EntityItem& entity);

/// Parses the form EntityId writes (every part required; the minor takes one to four digits,
/// read as a fraction: "5" is 5000). The revision is set to 0. False on any other text.
bool ParseEntityId(const std::string& text, KVTRELAY_EntityItem& entity);

/// Parses index text. On failure returns false with a message naming the line.
bool ParseIndex(const std::string& text, SourceIndex& index, std::string& error);

/// True when offered has the requested klass and type, and language, platform, region and oem
/// equal to the requested ones where those are not -1. Versions are not compared.
bool EntityMatches(const KVTRELAY_EntityItem& requested, const KVTRELAY_EntityItem& offered);

/// EntityMatches, and the same version unless the requested version is 0.0.0.0.
bool ItemMatches(const KVTRELAY_EntityItem& requested, const KVTRELAY_EntityItem& offered);

/// Orders versions: negative, zero or positive as a is older, equal or newer than b.
int CompareVersions(const KVT_Version& a, const KVT_Version& b);

/// True when both entities name the same component line (everything but the version).
bool SameComponent(const KVTRELAY_EntityItem& a, const KVTRELAY_EntityItem& b);

/// True for a package path the relay accepts: relative, "/"-separated, parts made of letters,
/// digits, ".", "_", "-" and "+", no "." or ".." parts.
bool IsSafePackagePath(const std::string& path);

}  // namespace kvtrelay
