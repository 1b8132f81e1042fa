#pragma once
// The repository as a source: index.txt in the grammar the relay reads, naming what it holds.

#include <string>

#include "repository.h"

namespace kvtrelay {

/// The index text of what the repository holds: each product of server.ini with its held
/// components, and every other held component under the first product of its klass and type.
std::string FormatRepositoryIndex(const CRepository& repository);

/// Replaces "<repository>/index.txt" with FormatRepositoryIndex. Returns 0 or errno.
int WriteRepositoryIndex(const CRepository& repository);

}  // namespace kvtrelay
