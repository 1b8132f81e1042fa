#pragma once
/// Folder paths of the relay: joining them (testing and making folders is fdio's).

#include <string>

#include <sys/types.h>

namespace kvtrelay {

/// The mode of the folders the relay makes, less the umask: the repository is shared with the
/// tools that serve it, and the operator's umask decides.
constexpr mode_t kFolderMode = 0777;

/// Joins two path parts with exactly one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace kvtrelay
