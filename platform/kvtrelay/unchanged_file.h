#pragma once
// Telling whether a small file of the repository already holds a given text, so that a run with
// nothing new leaves the file (its time stamps and any reader's cached copy) alone.

#include <string>

namespace kvtrelay {

/// True when path is a regular file (not reached through a link) whose bytes are exactly text.
/// Anything that cannot be read counts as different, so the caller writes the file as before.
bool FileHolds(const std::string& path, const std::string& text);

}  // namespace kvtrelay
