// Removing the versions of each component beyond the number the context keeps: off the record
// at once, off the disk a run later.

#include "pruning.h"

#include <algorithm>
#include <set>
#include <cerrno>
#include <unistd.h>
#include <vector>

#include "entity_identity.h"

namespace kvtrelay {

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
    for (const auto& pruned : earlier) {
        const std::string& file = pruned.first;
        if (held.count(file)) {  // offered and taken again since it was pruned
            state.Unprune(file);
            continue;
        }
        if (unlink(repository.PackagePath(file).c_str()) != 0 && errno != ENOENT) {
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
