#pragma once
/// SHA-256 over data that arrives in pieces, so a package is hashed while it is copied.

#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace kvtrelay {

class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    /// False when the digest could not be set up (no memory).
    bool IsValid() const { return m_ctx != nullptr && m_ok; }
    void Update(const void* data, size_t size);
    /// The digest as 64 lower-case hex digits; empty on failure.
    std::string HexDigest();

private:
    evp_md_ctx_st* m_ctx;
    bool m_ok;
};

/// Hashes a whole file; false when it cannot be read. size receives the byte count.
bool HashFile(const std::string& path, std::string& hex, uint64_t& size);

}  // namespace kvtrelay
