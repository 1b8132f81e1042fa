// Writing index.txt of a repository, so that the next tier (or any web server pointed at the
// folder) can read the repository as a source.

#include "repository_index.h"

#include <set>
#include <sstream>
#include <vector>

#include "entity_identity.h"
#include "file_paths.h"
#include "repository.h"
#include "relay_contract.h"
#include "source_index.h"

namespace kvtrelay {

namespace {

const char* const kHeader = "kvtrelay-index 1";

void writeComponent(std::ostringstream& out, const RepositoryEntry& e)
{
    out << "component " << EntityId(e.entity) << " " << contract::kPackagesFolder << "/" << e.file << " " << e.size
        << " " << e.sha256 << "\n";
}

// A record whose file name the index grammar cannot carry is left out rather than making the
// whole index unreadable for the next tier.
bool servable(const RepositoryEntry& e)
{
    return IsSafePackagePath(std::string(contract::kPackagesFolder) + "/" + e.file);
}

}  // namespace

std::string FormatRepositoryIndex(const CRepository& repository)
{
    std::ostringstream out;
    out << kHeader << "\n";
    std::set<std::string> listed;
    std::vector<std::pair<KVTRELAY_EntityItem, std::vector<const RepositoryEntry*>>> products;
    for (const RepositoryProduct& p : repository.Products()) {
        KVTRELAY_EntityItem entity;
        if (!ParseEntityId(p.id, entity))
            continue;
        products.push_back({entity, {}});
        for (const std::string& id : p.components) {
            KVTRELAY_EntityItem component;
            const RepositoryEntry* e = ParseEntityId(id, component) ? repository.Find(component) : nullptr;
            if (e && servable(*e) && listed.insert(EntityId(e->entity)).second)
                products.back().second.push_back(e);
        }
    }
    // Older versions kept beside the newest are no longer in any product's record, but they are
    // held, and a tier below that keeps versions of its own may still ask for them.
    for (const RepositoryEntry& e : repository.Entries()) {
        if (!servable(e) || listed.count(EntityId(e.entity)))
            continue;
        for (auto& p : products) {
            if (p.first.klass == e.entity.klass && p.first.type == e.entity.type) {
                p.second.push_back(&e);
                listed.insert(EntityId(e.entity));
                break;
            }
        }
    }
    for (const auto& p : products) {
        if (p.second.empty())
            continue;
        out << "product " << EntityId(p.first) << "\n";
        for (const RepositoryEntry* e : p.second)
            writeComponent(out, *e);
    }
    return out.str();
}

int WriteRepositoryIndex(const CRepository& repository)
{
    return WriteRepositoryFile(JoinPath(repository.Root(), contract::kIndexFile), FormatRepositoryIndex(repository));
}

}  // namespace kvtrelay
