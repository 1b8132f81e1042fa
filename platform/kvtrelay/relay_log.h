#pragma once
/// relay.log: the repository's record of what failed and why.

#include <cstdint>
#include <string>

namespace kvtrelay {

/// relay.log is rotated before a line would take it to this size.
const uint64_t kRelayLogLimit = 1 << 20;

/// Appends "<UTC time stamp> <line>" to <repository>/relay.log when the repository folder
/// exists (it is never created for the log). Control characters become blanks. Failures to
/// write are ignored: the log never fails an operation.
void AppendRelayLog(const std::string& repository, const std::string& line);

}  // namespace kvtrelay
