// Mirroring a selection into the repository: what KVTRELAY_Duplicate does after reading the index.

#include "mirror.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "entity_identity.h"
#include "file_paths.h"
#include "folders.h"
#include "kept_index.h"
#include "package_download.h"
#include "pruning.h"
#include "relay_log.h"
#include "repository.h"
#include "repository_index.h"
#include "repository_lock.h"
#include "sha256_stream.h"

namespace kvtrelay {

namespace {

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

// One run of MirrorSelection over the locked and loaded repository. A package that cannot be
// fetched does not keep the others out: the status is the first failure, and only a cancel (or
// no memory) ends the run early.
class CMirrorRun {
public:
    CMirrorRun(KVTRELAY_Context& context, CTransport& transport, CRepository& repository, CRelayState& state)
        : m_context(context), m_transport(transport), m_repository(repository), m_state(state)
    {}

    /// Mirrors every product of the selection; the run's status.
    int32_t Run(const Selection& selection)
    {
        m_scratch.laterBytes = bytesToFetch(m_repository, selection);
        for (const IndexProduct& product : selection.products)
            if (!mirrorProduct(product))
                break;
        return m_status;
    }

private:
    enum class Outcome { Held, Failed, Stop };

    // Mirrors a product's components and records the product. False when the run must stop;
    // a stopped product keeps its earlier record.
    bool mirrorProduct(const IndexProduct& product)
    {
        std::vector<std::string> ids;
        std::vector<KVTRELAY_EntityItem> failed;
        for (const IndexComponent& c : product.components) {
            Outcome outcome = mirrorComponent(c);
            if (outcome == Outcome::Stop)
                return false;
            if (outcome == Outcome::Held)
                ids.push_back(EntityId(c.entity));
            else
                failed.push_back(c.entity);
        }
        std::string productId = EntityId(product.entity);
        if (failed.empty())
            m_repository.SetProduct(productId, ids);
        else if (!(ids = productRecord(m_repository, productId, ids, failed)).empty())
            m_repository.SetProduct(productId, ids);  // a product with nothing held gets no record
        return true;
    }

    Outcome mirrorComponent(const IndexComponent& c)
    {
        std::string id = EntityId(c.entity);
        auto seen = m_done.find(id);
        if (seen != m_done.end())  // offered by two products: one copy serves both
            return seen->second ? Outcome::Held : Outcome::Failed;
        bool stopAfter = false;
        if (!held(c)) {
            Outcome fetched = fetch(c, stopAfter);
            if (fetched != Outcome::Held)
                return fetched;
        }
        m_done[id] = true;
        if (stopAfter || !m_context.Emit(KVTRELAY_EVENT_DOWNLOAD, id, c.size, c.size))
            return stop(KVTRELAY_E_CANCELLED);
        return Outcome::Held;
    }

    // True when the repository holds this exact package intact: its file as the relay verified
    // it, or, hashed again, one with the right digest. A complete file under the package's name
    // that server.ini does not know (a run killed after the rename) is taken on the same terms.
    bool held(const IndexComponent& c)
    {
        const RepositoryEntry* e = m_repository.Find(c.entity);
        if (e && (e->size != c.size || e->sha256 != c.sha256))
            return false;  // the source now offers other bytes under this identity
        std::string file = e ? e->file : CRepository::PackageName(c.entity);
        // lstat: a link planted under a package's name is never taken for the package.
        struct stat st;
        if (lstat(m_repository.PackagePath(file).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_size) != c.size)
            return false;
        if (!m_state.Trusted(file, c.sha256, st)) {
            std::string hex;
            uint64_t size = 0;
            if (!HashFile(m_repository.PackagePath(file), hex, size) || size != c.size || hex != c.sha256)
                return false;
            // Recorded only when the file looks the same after hashing as before: a change made
            // while it was read leaves a stamp that will not match, and the next run hashes again.
            m_state.Verified(file, c.sha256, st);
            struct stat after;
            if (lstat(m_repository.PackagePath(file).c_str(), &after) != 0 || !m_state.Trusted(file, c.sha256, after))
                m_state.Forget(file);
        }
        if (!e)
            m_repository.Put(RepositoryEntry{c.entity, file, c.size, c.sha256});
        m_state.Unprune(file);
        return true;
    }

    // Downloads a package the repository does not hold and records it.
    Outcome fetch(const IndexComponent& c, bool& stopAfter)
    {
        std::string name = CRepository::PackageName(c.entity);
        m_scratch.laterBytes -= std::min(m_scratch.laterBytes, c.size);
        CPackageDownload download(m_context, m_transport, m_scratch, c, m_repository.PackagePath(name), name);
        int32_t result = download.Run();
        if (result > 0) {
            stopAfter = download.StopAfter();
            m_repository.Put(RepositoryEntry{c.entity, name, c.size, c.sha256});
            struct stat st;
            if (lstat(m_repository.PackagePath(name).c_str(), &st) == 0)
                m_state.Verified(name, c.sha256, st);
            m_state.Unprune(name);
            return Outcome::Held;
        }
        m_done[EntityId(c.entity)] = false;
        if (result == KVTRELAY_E_CANCELLED || result == KVTRELAY_E_NOMEMORY)
            return stop(result);
        if (m_status > 0)
            m_status = result;
        if (!reportFailure(m_context, m_transport, c, name, download.Reason(), download.Received()))
            return stop(KVTRELAY_E_CANCELLED);
        return Outcome::Failed;
    }

    Outcome stop(int32_t status)
    {
        m_status = status;
        return Outcome::Stop;
    }

    KVTRELAY_Context& m_context;
    CTransport& m_transport;
    CRepository& m_repository;
    CRelayState& m_state;
    std::map<std::string, bool> m_done;  // component id: held after this run
    DownloadScratch m_scratch;
    int32_t m_status = KVTRELAY_S_OK;
};

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
    CRelayState state(context.repository);
    state.Load();
    RemoveLeftovers(context.repository, repository, selection, state);
    const std::map<std::string, uint64_t> earlier = state.PrunedFiles();

    status = CMirrorRun(context, transport, repository, state).Run(selection);
    // Readers have worked from server.ini while the packages arrived; removing recorded files
    // waits for them. Old versions go only after a complete run, so a failed one never loses
    // what worked before; readers that will not finish keep them until the next run.
    const bool alone = lock.BeginChange(CRepositoryLock::DefaultTimeout()) > 0;
    if (status > 0 && alone && !PruneOldVersions(context, repository, state))
        status = KVTRELAY_E_CANCELLED;
    status = Publish(context, repository, state, alone ? earlier : std::map<std::string, uint64_t>(), status);
    // Kept after a complete run only: a failed run is tried again, and without the copy the next
    // run merely fetches the index whole.
    if (status > 0 && !transport.IndexToKeep().url.empty() && !transport.IndexUnchanged())
        SaveKeptIndex(context.repository, transport.IndexToKeep());
    return status;
}

int32_t Publish(KVTRELAY_Context& context, CRepository& repository, CRelayState& state,
                const std::map<std::string, uint64_t>& earlier, int32_t status)
{
    // What was completed is recorded whatever the outcome, so the record matches the files; the
    // index follows server.ini, and only then go the files that an earlier index still named.
    if (repository.Save() != 0 || WriteRepositoryIndex(repository) != 0)
        return status > 0 ? KVTRELAY_E_WRITE : status;
    if (!DeletePrunedFiles(context, repository, state, earlier) && status > 0)
        status = KVTRELAY_E_CANCELLED;
    std::set<std::string> kept;
    for (const RepositoryEntry& e : repository.Entries())
        kept.insert(e.file);
    for (const auto& p : state.PrunedFiles())
        kept.insert(p.first);
    std::vector<std::string> gone;
    for (const auto& v : state.VerifiedFiles())
        if (!kept.count(v.first))
            gone.push_back(v.first);
    for (const std::string& file : gone)
        state.Forget(file);
    if (state.Save() != 0 && status > 0)
        status = KVTRELAY_E_WRITE;
    return status;
}

}  // namespace kvtrelay
