#pragma once
/// Unpacking a component's ZIP package into a folder.

#include <cstdint>
#include <string>

namespace kvtrelay {

/// Unpacks the ZIP archive at package into the folder destination (created with its parents
/// when missing). Refuses the whole archive, before writing anything, when it is not a regular
/// file, is damaged or inconsistent, holds an entry that the safety rule refuses, or declares
/// more data than the destination's file system has room for; the refusal is logged as a
/// warning naming the package and the reason. Each file is written under a temporary name and
/// renamed into place. Status: S_OK, or E_EXPORT.
int32_t UnpackPackage(const std::string& package, const std::string& destination);

}  // namespace kvtrelay
