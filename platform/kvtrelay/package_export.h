#pragma once
/// Exporting a component: choosing its package in the repository, checking it, unpacking it.

#include <cstdint>
#include <string>

#include "kvtrelay.h"
#include "relay_context.h"

namespace kvtrelay {

/// Unpacks the ZIP archive at package into the folder destination (created with its parents
/// when missing). Refuses the whole archive, before writing anything, when it is not a regular
/// file, is damaged or inconsistent, holds an entry that the safety rule refuses, or declares
/// more data than the destination's file system has room for; the refusal is logged as a
/// warning naming the package and the reason. Each file is written under a temporary name and
/// renamed into place. Status: S_OK, or E_EXPORT.
int32_t UnpackPackage(const std::string& package, const std::string& destination);

/// Unpacks the repository's newest package of entity (the one with its version, when it names
/// one) into destination, after checking its size and SHA-256. Creates nothing in the
/// repository. Status as KVTRELAY_ExportComponent.
int32_t ExportFromRepository(KVTRELAY_Context& context, const std::string& destination,
                             const KVTRELAY_EntityItem& entity);

}  // namespace kvtrelay
