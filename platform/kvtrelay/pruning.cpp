#include "pruning.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>
#include <vector>

#include "folder_files.h"
#include "relay_contract.h"
#include "source_index.h"

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

void RemoveLeftovers(const std::string& root, const CRepository& repository, const Selection& selection)
{
    std::set<std::string> kept;  // packages recorded, or fetched by this run
    for (const RepositoryEntry& e : repository.Entries())
        kept.insert(e.file);
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
    fdio::CFd folder(fdio::OpenFolder(root));
    for (const std::string& name : folder.IsOpen() ? fdio::NamesAt(folder.Get()) : std::vector<std::string>())
        if (fdio::IsStaleTemporary(name, contract::kServerIni))
            fdio::RemoveRegularAt(folder.Get(), name);
}

bool PruneOldVersions(KVTRELAY_Context& context, CRepository& repository)
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
            if (unlink(repository.PackagePath(old.file).c_str()) != 0 && errno != ENOENT) {
                // The file stays, so its record stays too and a later run tries again.
                if (!context.Emit(KVTRELAY_EVENT_REMOVEFAILED, old.file, old.size, 0))
                    return false;
                continue;
            }
            repository.Remove(old.entity);
        }
    }
    return true;
}

}  // namespace kvtrelay
