#pragma once
/// Folder paths of the relay: joining, testing and creating folders.

#include <string>

namespace kvtrelay {

/// Creates a folder and its missing parents. Returns 0 or the errno of the failing step
/// (ENOTDIR when a component exists and is not a folder).
int MakeFolders(const std::string& path);

/// True when path names an existing folder.
bool IsFolder(const std::string& path);

/// Joins two path parts with exactly one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace kvtrelay
