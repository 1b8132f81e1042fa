// Mirroring a selection into the repository: what KVTRELAY_Duplicate does after reading the index.

#include "mirror.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file_paths.h"
#include "folders.h"
#include "package_download.h"
#include "pruning.h"
#include "relay_log.h"
#include "repository.h"
#include "repository_lock.h"
#include "sha256_stream.h"

namespace kvtrelay {

namespace {

// True when the repository already holds this exact package intact.
bool alreadyHeld(CRepository& repository, const IndexComponent& c)
{
    RepositoryEntry* e = repository.Find(c.entity);
    if (!e || e->size != c.size || e->sha256 != c.sha256)
        return false;
    std::string hex;
    uint64_t size = 0;
    return HashFile(repository.PackagePath(e->file), hex, size) && size == c.size && hex == c.sha256;
}

// Reports a package that could not be mirrored: in the downloadend event and in relay.log.
// False when the handler asked to stop.
bool reportFailure(KVTRELAY_Context& context, CTransport& transport, const IndexComponent& c, const std::string& name,
                   const std::string& reason, uint64_t received)
{
    std::string line = name + " from " + transport.Location(c.package) + ": " + reason;
    AppendRelayLog(context.repository, line);
    return context.Emit(KVTRELAY_EVENT_DOWNLOADEND, line, c.size, received);
}

// The ids a product is recorded with after a run in which some of its components failed: the
// ones now held, and from its earlier record the versions still held of the failed lines, so
// that a failed update never takes away what clients could use before.
std::vector<std::string> productRecord(CRepository& repository, const std::string& productId,
                                       const std::vector<std::string>& held,
                                       const std::vector<KVTRELAY_EntityItem>& failed)
{
    std::vector<std::string> ids = held;
    for (const RepositoryProduct& p : repository.Products()) {
        if (p.id != productId)
            continue;
        for (const std::string& old : p.components) {
            KVTRELAY_EntityItem e;
            if (!ParseEntityId(old, e) || !repository.Find(e) || std::find(ids.begin(), ids.end(), old) != ids.end())
                continue;
            for (const KVTRELAY_EntityItem& f : failed)
                if (SameComponent(f, e))
                    ids.push_back(old);
        }
    }
    return ids;
}

// The bytes the run will add: the selected packages the repository does not record as held.
uint64_t bytesToFetch(CRepository& repository, const Selection& selection)
{
    std::set<std::string> seen;
    uint64_t total = 0;
    for (const IndexProduct& product : selection.products) {
        for (const IndexComponent& c : product.components) {
            const RepositoryEntry* e = repository.Find(c.entity);
            if (seen.insert(EntityId(c.entity)).second && !(e && e->size == c.size && e->sha256 == c.sha256))
                total += c.size;
        }
    }
    return total;
}

}  // namespace

int32_t MirrorSelection(KVTRELAY_Context& context, CTransport& transport, const Selection& selection)
{
    CRepositoryLock lock;
    int32_t status = lock.Acquire(context.repository, CRepositoryLock::DefaultTimeout());
    if (status <= 0)
        return status;
    CRepository repository(context.repository);
    if (fdio::MakeFolders(repository.PackagesFolder(), kFolderMode) != 0 || !repository.Load())
        return KVTRELAY_E_WRITE;
    RemoveStaleParts(repository.PackagesFolder());
    RemoveLeftovers(context.repository, repository, selection);

    std::map<std::string, bool> done;  // component id: held after this run
    DownloadScratch scratch;
    scratch.laterBytes = bytesToFetch(repository, selection);
    status = KVTRELAY_S_OK;
    bool stop = false;
    // A package that cannot be fetched does not keep the others out: the status is the first
    // failure, and only a cancel (or no memory) ends the run early.
    for (const IndexProduct& product : selection.products) {
        std::vector<std::string> ids;
        std::vector<KVTRELAY_EntityItem> failed;
        for (const IndexComponent& c : product.components) {
            std::string id = EntityId(c.entity);
            auto seen = done.find(id);
            if (seen != done.end()) {
                // offered by two products: one copy serves both
                if (seen->second)
                    ids.push_back(id);
                else
                    failed.push_back(c.entity);
                continue;
            }
            std::string name = CRepository::PackageName(c.entity);
            bool stopAfter = false;
            if (!alreadyHeld(repository, c)) {
                scratch.laterBytes -= std::min(scratch.laterBytes, c.size);
                CPackageDownload download(context, transport, scratch, c, repository.PackagePath(name), name);
                int32_t result = download.Run();
                if (result <= 0) {
                    done[id] = false;
                    failed.push_back(c.entity);
                    if (status > 0)
                        status = result;
                    if (result == KVTRELAY_E_CANCELLED || result == KVTRELAY_E_NOMEMORY) {
                        status = result;
                        stop = true;
                        break;
                    }
                    if (!reportFailure(context, transport, c, name, download.Reason(), download.Received())) {
                        status = KVTRELAY_E_CANCELLED;
                        stop = true;
                        break;
                    }
                    continue;
                }
                stopAfter = download.StopAfter();
                repository.Put(RepositoryEntry{c.entity, name, c.size, c.sha256});
            }
            done[id] = true;
            ids.push_back(id);
            if (stopAfter || !context.Emit(KVTRELAY_EVENT_DOWNLOAD, id, c.size, c.size)) {
                status = KVTRELAY_E_CANCELLED;
                stop = true;
                break;
            }
        }
        if (stop)
            break;
        std::string productId = EntityId(product.entity);
        if (failed.empty())
            repository.SetProduct(productId, ids);
        else if (!(ids = productRecord(repository, productId, ids, failed)).empty())
            repository.SetProduct(productId, ids);  // a product with nothing held gets no record
    }
    // Readers have worked from server.ini while the packages arrived; removing recorded files
    // waits for them. Old versions go only after a complete run, so a failed one never loses
    // what worked before; readers that will not finish keep them until the next run.
    const bool alone = lock.BeginChange(CRepositoryLock::DefaultTimeout()) > 0;
    if (status > 0 && alone && !PruneOldVersions(context, repository))
        status = KVTRELAY_E_CANCELLED;
    // What was completed is recorded whatever the outcome, so the record matches the files.
    if (repository.Save() != 0 && status > 0)
        status = KVTRELAY_E_WRITE;
    return status;
}

}  // namespace kvtrelay
