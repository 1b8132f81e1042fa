#pragma once
// The local repository: server.ini (what the repository holds) and the packages folder.

#include <cstdint>
#include <string>
#include <vector>

#include "kvtrelay.h"

namespace kvtrelay {

/// One package the repository holds.
struct RepositoryEntry {
    KVTRELAY_EntityItem entity;
    std::string file;  ///< name inside packages/
    uint64_t size = 0;
    std::string sha256;
};

/// A product and the components last mirrored for it.
struct RepositoryProduct {
    std::string id;
    std::vector<std::string> components;
};

/// Reads the repository file at path whole into text; true also when there is none (a
/// repository not yet written). Anything but a regular file in its place, a link included, is
/// refused and named in relay.log: its target is not ours to read or publish.
bool ReadRepositoryFile(const std::string& root, const std::string& path, std::string& text);

/// Replaces the repository file at path with text, made under an unpredictable name and renamed
/// into place, never through a link. A file that already holds exactly text is left alone, so a
/// run with nothing new keeps its time stamps and the validators a web server derives from them
/// for the next tier. 0 or errno.
int WriteRepositoryFile(const std::string& path, const std::string& text);

class CRepository {
public:
    explicit CRepository(const std::string& root) : m_root(root) {}

    const std::string& Root() const { return m_root; }
    std::string PackagesFolder() const;
    std::string ServerFile() const;
    std::string PackagePath(const std::string& file) const;

    /// Reads server.ini; a missing file is an empty repository. Lines the relay did not write
    /// are kept and written back. False when the file exists and cannot be read.
    bool Load();
    /// Writes server.ini through a temporary file renamed into place. Returns 0 or errno.
    int Save() const;

    std::vector<RepositoryEntry>& Entries() { return m_entries; }
    const std::vector<RepositoryEntry>& Entries() const { return m_entries; }

    /// The entry with exactly this entity (version included), or null.
    RepositoryEntry* Find(const KVTRELAY_EntityItem& entity);
    const RepositoryEntry* Find(const KVTRELAY_EntityItem& entity) const;
    /// Adds or replaces the entry for its entity.
    void Put(const RepositoryEntry& entry);
    /// Removes the entry for the entity and its id from every product.
    void Remove(const KVTRELAY_EntityItem& entity);
    /// Records which components a product was last mirrored with.
    void SetProduct(const std::string& id, const std::vector<std::string>& components);
    const std::vector<RepositoryProduct>& Products() const { return m_products; }

    /// The package file name of a component: its identifier and ".zip", which is long enough
    /// and shaped so that the module's repository clean-up recognises it (relay_contract.h).
    static std::string PackageName(const KVTRELAY_EntityItem& entity);

private:
    struct ForeignSection {
        std::string header;
        std::vector<std::string> lines;
    };

    std::string m_root;
    std::vector<RepositoryEntry> m_entries;
    std::vector<RepositoryProduct> m_products;
    std::vector<std::string> m_preamble;
    std::vector<std::string> m_foreignPattern, m_foreignEngine, m_foreignProduct;
    std::vector<ForeignSection> m_foreignSections;
};

}  // namespace kvtrelay
