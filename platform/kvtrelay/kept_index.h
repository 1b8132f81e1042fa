#pragma once
// The copy of a source's index that a repository keeps with the validators its web server sent,
// so that the next run can ask whether it changed instead of fetching it again.

#include <string>

namespace kvtrelay {

/// An index as an http(s) source served it.
struct KeptIndex {
    std::string url;           ///< where it was read; empty for none
    std::string etag;          ///< the ETag header, verbatim; may be empty
    std::string lastModified;  ///< the Last-Modified header, verbatim; may be empty
    std::string text;          ///< the index text
};

/// Reads "<repository>/relay.source-index". False (and kept empty) when it is missing or not
/// in the form SaveKeptIndex writes.
bool LoadKeptIndex(const std::string& repository, KeptIndex& kept);

/// Replaces "<repository>/relay.source-index" with kept. Returns 0 or errno.
int SaveKeptIndex(const std::string& repository, const KeptIndex& kept);

}  // namespace kvtrelay
