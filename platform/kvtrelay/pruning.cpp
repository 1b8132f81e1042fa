// Removing the versions of each component beyond the number the context keeps.

#include "pruning.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

#include "entity_identity.h"

namespace kvtrelay {

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
