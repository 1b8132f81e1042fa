#pragma once
// The relay's identity of a component: its text form (the package name and index field), how a
// requested entity matches an offered one, and the order of versions.

#include <string>

#include "kvtrelay.h"

namespace kvtrelay {

/// Formats an entity as "c<klass>t<type>v<major>.<minor>.<build>l<language>p<platform>r<region>o<oem>",
/// the minor written as a four-place fraction without trailing zeros removed ("0005", "5000", "0").
std::string EntityId(const KVTRELAY_EntityItem& entity);

/// Parses the form EntityId writes (every part required; the minor takes one to four digits,
/// read as a fraction: "5" is 5000). The revision is set to 0. False on any other text.
bool ParseEntityId(const std::string& text, KVTRELAY_EntityItem& entity);

/// True when offered has the requested klass and type, and language, platform, region and oem
/// equal to the requested ones where those are not -1. Versions are not compared.
bool EntityMatches(const KVTRELAY_EntityItem& requested, const KVTRELAY_EntityItem& offered);

/// EntityMatches, and the same version unless the requested version is 0.0.0.0.
bool ItemMatches(const KVTRELAY_EntityItem& requested, const KVTRELAY_EntityItem& offered);

/// Orders versions: negative, zero or positive as a is older, equal or newer than b.
int CompareVersions(const KVT_Version& a, const KVT_Version& b);

/// True when both entities name the same component line (everything but the version).
bool SameComponent(const KVTRELAY_EntityItem& a, const KVTRELAY_EntityItem& b);

}  // namespace kvtrelay
