#pragma once
// Replacing a small file of the repository whole, so that a reader sees the old text or the new.

#include <string>

namespace kvtrelay {

/// Writes text to "<folder>/<name>" through a temporary file in the same folder, created under
/// an unpredictable name that no link can stand in for, then renamed over the name. Returns 0 or
/// the errno of the failing step; the temporary file is gone either way.
int ReplaceFile(const std::string& folder, const std::string& name, const std::string& text);

}  // namespace kvtrelay
