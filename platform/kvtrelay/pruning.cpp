// Removing what the repository no longer needs: versions beyond the number the context keeps
// (off the record at once, off the disk a run later) and what killed runs left behind.

#include "pruning.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>
#include <vector>

#include "file_paths.h"
#include "folder_files.h"
#include "relay_contract.h"
#include "entity_identity.h"

namespace kvtrelay {

namespace {

bool cutSuffix(std::string& name, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    if (name.size() <= n || name.compare(name.size() - n, n, suffix) != 0)
        return false;
    name.resize(name.size() - n);
    return true;
}

}  // namespace

void RemoveLeftovers(const std::string& root, const CRepository& repository, const Selection& selection,
                     const CRelayState& state)
{
    std::set<std::string> kept;  // packages recorded, fetched by this run, or pruned but still readable
    for (const RepositoryEntry& e : repository.Entries())
        kept.insert(e.file);
    for (const auto& pruned : state.PrunedFiles())
        kept.insert(pruned.first);
    for (const IndexProduct& p : selection.products)
        for (const IndexComponent& c : p.components)
            kept.insert(CRepository::PackageName(c.entity));
    fdio::CFd packages(fdio::OpenFolder(repository.PackagesFolder()));
    for (const std::string& name : packages.IsOpen() ? fdio::NamesAt(packages.Get()) : std::vector<std::string>()) {
        std::string package = name;
        cutSuffix(package, contract::kPartSuffix);
        std::string id = package;
        KVTRELAY_EntityItem entity;
        // Only names the relay gives its own packages: anything else in the folder is not ours.
        if (kept.count(package) || !cutSuffix(id, contract::kPackageSuffix) || !ParseEntityId(id, entity))
            continue;
        fdio::RemoveRegularAt(packages.Get(), name);
    }
    for (const char* replaced :
         {contract::kServerIni, contract::kIndexFile, contract::kStateFile, contract::kKeptIndexFile})
        fdio::RemoveStaleTemporaries(JoinPath(root, replaced));
}

bool PruneOldVersions(KVTRELAY_Context& context, CRepository& repository, CRelayState& state)
{
    int64_t keep = context.keepCount < 0 ? kDefaultKeepCount : context.keepCount;
    std::vector<RepositoryEntry> entries = repository.Entries();
    std::vector<bool> grouped(entries.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (grouped[i])
            continue;
        std::vector<RepositoryEntry> group;
        for (size_t j = i; j < entries.size(); ++j) {
            if (!grouped[j] && SameComponent(entries[i].entity, entries[j].entity)) {
                grouped[j] = true;
                group.push_back(entries[j]);
            }
        }
        std::sort(group.begin(), group.end(), [](const RepositoryEntry& a, const RepositoryEntry& b) {
            return CompareVersions(a.entity.version, b.entity.version) > 0;
        });
        size_t kept = keep >= static_cast<int64_t>(group.size()) ? group.size() : static_cast<size_t>(keep) + 1;
        for (size_t k = kept; k < group.size(); ++k) {
            const RepositoryEntry& old = group[k];
            if (!context.Emit(KVTRELAY_EVENT_REMOVEBEGIN, old.file, old.size, 0))
                return false;
            repository.Remove(old.entity);
            state.Prune(old.file, old.size);
        }
    }
    return true;
}

bool DeletePrunedFiles(KVTRELAY_Context& context, const CRepository& repository, CRelayState& state,
                       const std::map<std::string, uint64_t>& earlier)
{
    std::set<std::string> held;
    for (const RepositoryEntry& e : repository.Entries())
        held.insert(e.file);
    fdio::CFd packages(fdio::OpenFolder(repository.PackagesFolder()));
    for (const auto& pruned : earlier) {
        const std::string& file = pruned.first;
        if (held.count(file)) {  // offered and taken again since it was pruned
            state.Unprune(file);
            continue;
        }
        const int err = packages.IsOpen() ? fdio::RemoveRegularAt(packages.Get(), file) : errno;
        if (err != 0 && err != ENOENT) {
            // Noted still, so a later run tries again.
            if (!context.Emit(KVTRELAY_EVENT_REMOVEFAILED, file, pruned.second, 0))
                return false;
            continue;
        }
        state.Unprune(file);
        state.Forget(file);
    }
    return true;
}

}  // namespace kvtrelay
