// Listing, mirroring and exporting: what GetInformation, Duplicate and ExportComponent do.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fd_write.h"
#include "package_export.h"
#include "relay_context.h"
#include "relay_text.h"
#include "repository.h"
#include "sha256_stream.h"
#include "transport.h"

namespace kvtrelay {

namespace {

const size_t kWriteBuffer = 1 << 20;
// Progress is reported after at least this many new bytes, and once at the end of each file.
const uint64_t kProgressStep = 256 * 1024;

// What the downloads of one operation share, so that buffers and the hashing thread are made
// once: fresh buffers for every file cost a page fault per page.
struct DownloadScratch {
    std::vector<char> gather, spare;
    CHashWorker hasher;  // last, so it stops before the buffers it reads go
};

// Writes a download to "<final>.<pid>.part", hashing while it arrives, and renames it into
// place only when size and digest are right.
class CPackageDownload {
public:
    CPackageDownload(KVTRELAY_Context& context, CTransport& transport, DownloadScratch& scratch,
                     const IndexComponent& component, const std::string& finalPath, const std::string& name)
        : m_context(context), m_transport(transport), m_hasher(scratch.hasher), m_buffer(scratch.gather),
          m_spare(scratch.spare), m_component(component), m_final(finalPath), m_name(name)
    {
        m_buffer.clear();
    }

    ~CPackageDownload()
    {
        m_hasher.Wait();  // the worker may still be adding to m_sha
    }

    int32_t Run()
    {
        std::string tmp = m_final.substr(0, m_final.rfind('/') + 1) + PartName(m_name);
        m_fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (m_fd < 0)
            return KVTRELAY_E_WRITE;
        int32_t status = transfer();
        if (m_fd >= 0 && close(m_fd) != 0 && status > 0)
            status = KVTRELAY_E_WRITE;
        m_fd = -1;
        if (status > 0 && rename(tmp.c_str(), m_final.c_str()) != 0)
            status = KVTRELAY_E_WRITE;
        if (status <= 0)
            unlink(tmp.c_str());
        return status;
    }

private:
    int32_t transfer()
    {
        if (!m_sha.IsValid())
            return KVTRELAY_E_NOMEMORY;
        const uint64_t total = m_component.size;
        if (!m_context.Emit(KVTRELAY_EVENT_DOWNLOADBEGIN, m_name, total, 0))
            return KVTRELAY_E_CANCELLED;
        bool stopped = false;
        int32_t status = m_transport.Fetch(m_component.package,
                                           [this](const char* data, size_t size) { return accept(data, size); },
                                           stopped);
        if (m_cancelled)
            return KVTRELAY_E_CANCELLED;
        if (m_writeFailed)
            return KVTRELAY_E_WRITE;
        if (m_noMemory)
            return KVTRELAY_E_NOMEMORY;
        if (m_oversize)
            return KVTRELAY_E_DIGEST;
        if (status <= 0)
            return status;
        bool flushed = flush();
        m_hasher.Wait();
        if (!flushed)
            return KVTRELAY_E_WRITE;
        if (m_received != total || m_sha.HexDigest() != m_component.sha256)
            return KVTRELAY_E_DIGEST;
        if (m_reported != m_received && !m_context.Emit(KVTRELAY_EVENT_PROGRESS, m_name, total, m_received))
            return KVTRELAY_E_CANCELLED;
        if (!m_context.Emit(KVTRELAY_EVENT_DOWNLOADEND, m_name, total, m_received))
            m_cancelAfter = true;  // the package is complete: keep it, then stop
        return KVTRELAY_S_OK;
    }

    bool accept(const char* data, size_t size)
    {
        if (m_received + size > m_component.size) {
            m_oversize = true;  // more than the index promised: no need to read the rest
            return false;
        }
        m_received += size;
        if (size >= kWriteBuffer) {
            // Large pieces (file sources) are hashed on the second core while they are written;
            // the source reuses its buffer once this returns.
            bool written = flush();
            m_hasher.Wait();
            m_hasher.Start(m_sha, data, size);
            written = writeOut(data, size) && written;
            m_hasher.Wait();
            if (!written) {
                m_writeFailed = true;
                return false;
            }
        } else {
            // Small pieces (network reads) are gathered and go out a buffer at a time.
            try {
                if (m_buffer.capacity() < kWriteBuffer) {
                    m_buffer.reserve(kWriteBuffer);
                    m_spare.reserve(kWriteBuffer);
                }
                m_buffer.insert(m_buffer.end(), data, data + size);
            } catch (const std::bad_alloc&) {
                m_noMemory = true;
                return false;
            }
            if (m_buffer.size() >= kWriteBuffer && !flush()) {
                m_writeFailed = true;
                return false;
            }
        }
        if (m_received - m_reported >= kProgressStep) {
            m_reported = m_received;
            if (!m_context.Emit(KVTRELAY_EVENT_PROGRESS, m_name, m_component.size, m_received)) {
                m_cancelled = true;
                return false;
            }
        }
        return true;
    }

    bool writeOut(const char* data, size_t size)
    {
        return WriteAll(m_fd, data, size);
    }

    // Writes the gathered bytes and has them hashed while the next ones arrive in the spare
    // buffer; hashing keeps the order because each piece waits for the one before.
    bool flush()
    {
        if (m_buffer.empty())
            return true;
        bool ok = writeOut(m_buffer.data(), m_buffer.size());
        m_hasher.Wait();
        m_buffer.swap(m_spare);
        m_hasher.Start(m_sha, m_spare.data(), m_spare.size());
        m_buffer.clear();
        return ok;
    }

public:
    bool m_cancelAfter = false;

private:
    KVTRELAY_Context& m_context;
    CTransport& m_transport;
    CHashWorker& m_hasher;
    std::vector<char>& m_buffer;
    std::vector<char>& m_spare;
    const IndexComponent& m_component;
    std::string m_final, m_name;
    int m_fd = -1;
    CSha256 m_sha;
    uint64_t m_received = 0, m_reported = 0;
    bool m_cancelled = false, m_oversize = false, m_writeFailed = false, m_noMemory = false;
};

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

// Removes all but the newest keepCount + 1 versions of every component. False when cancelled.
bool pruneOldVersions(KVTRELAY_Context& context, CRepository& repository)
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

}  // namespace

Selection SelectProducts(const SourceIndex& index, const KVTRELAY_Product* products, uint64_t count)
{
    Selection selection;
    for (const IndexProduct& offered : index.products) {
        bool matched = false;
        std::vector<bool> chosen(offered.components.size(), false);
        for (uint64_t r = 0; r < count; ++r) {
            const KVTRELAY_Product& request = products[r];
            if (!EntityMatches(request.entity, offered.entity))
                continue;
            matched = true;
            for (size_t c = 0; c < offered.components.size(); ++c) {
                if (request.itemCount == 0 || !request.items) {
                    chosen[c] = true;
                    continue;
                }
                for (uint64_t i = 0; i < request.itemCount && !chosen[c]; ++i)
                    chosen[c] = ItemMatches(request.items[i], offered.components[c].entity);
            }
        }
        if (!matched)
            continue;
        IndexProduct p;
        p.entity = offered.entity;
        for (size_t c = 0; c < offered.components.size(); ++c)
            if (chosen[c])
                p.components.push_back(offered.components[c]);
        // A request naming items keeps only products where one of them was found.
        if (p.components.empty() && !offered.components.empty())
            continue;
        selection.products.push_back(p);
    }
    return selection;
}

int32_t ReadSources(KVTRELAY_Context& context, const KVTRELAY_Source* sources, uint64_t count,
                    CTransport*& transport, SourceIndex& index)
{
    transport = nullptr;
    int32_t status = KVTRELAY_E_SOURCE;
    TransportSettings settings;
    settings.maxBandwidth = context.maxBandwidth;
    settings.httpsLevel = context.httpsLevel;
    // Sources are alternatives, tried in order: the first whose index reads wins.
    for (uint64_t i = 0; i < count; ++i) {
        if (!sources[i].url || !sources[i].url[0]) {
            status = KVTRELAY_E_SOURCE;
            continue;
        }
        CTransport* t = new (std::nothrow) CTransport(settings);
        if (!t)
            return KVTRELAY_E_NOMEMORY;
        std::string text, error;
        status = t->Open(sources[i], text);
        if (status > 0 && !ParseIndex(text, index, error))
            status = KVTRELAY_E_INDEX;
        if (status > 0) {
            transport = t;
            return KVTRELAY_S_OK;
        }
        delete t;
    }
    return status;
}

int32_t MirrorSelection(KVTRELAY_Context& context, CTransport& transport, const Selection& selection)
{
    CRepositoryLock lock;
    int32_t status = lock.Acquire(context.repository, CRepositoryLock::DefaultTimeout());
    if (status <= 0)
        return status;
    CRepository repository(context.repository);
    if (MakeFolders(repository.PackagesFolder()) != 0 || !repository.Load())
        return KVTRELAY_E_WRITE;
    RemoveStaleParts(repository.PackagesFolder());

    std::set<std::string> done;
    DownloadScratch scratch;
    status = KVTRELAY_S_OK;
    for (const IndexProduct& product : selection.products) {
        std::vector<std::string> ids;
        for (const IndexComponent& c : product.components) {
            std::string id = EntityId(c.entity);
            ids.push_back(id);
            if (!done.insert(id).second)
                continue;  // offered by two products: one copy serves both
            std::string name = CRepository::PackageName(c.entity);
            bool stopAfter = false;
            if (!alreadyHeld(repository, c)) {
                CPackageDownload download(context, transport, scratch, c, repository.PackagePath(name), name);
                status = download.Run();
                if (status <= 0)
                    break;
                stopAfter = download.m_cancelAfter;
                repository.Put(RepositoryEntry{c.entity, name, c.size, c.sha256});
            }
            if (stopAfter || !context.Emit(KVTRELAY_EVENT_DOWNLOAD, id, c.size, c.size)) {
                status = KVTRELAY_E_CANCELLED;
                break;
            }
        }
        if (status <= 0)
            break;
        repository.SetProduct(EntityId(product.entity), ids);
    }
    // Old versions go only after a complete run, so a failed one never loses what worked before.
    if (status > 0 && !pruneOldVersions(context, repository))
        status = KVTRELAY_E_CANCELLED;
    // What was completed is recorded whatever the outcome, so the record matches the files.
    if (repository.Save() != 0 && status > 0)
        status = KVTRELAY_E_WRITE;
    return status;
}

int32_t ExportFromRepository(KVTRELAY_Context& context, const std::string& destination,
                             const KVTRELAY_EntityItem& entity)
{
    CRepositoryLock lock;
    int32_t status = lock.Acquire(context.repository, CRepositoryLock::DefaultTimeout());
    if (status <= 0)
        return status;
    CRepository repository(context.repository);
    if (!repository.Load())
        return KVTRELAY_E_NOTFOUND;
    const RepositoryEntry* best = nullptr;
    for (const RepositoryEntry& e : repository.Entries()) {
        if (!ItemMatches(entity, e.entity))
            continue;
        if (!best || CompareVersions(e.entity.version, best->entity.version) > 0)
            best = &e;
    }
    if (!best)
        return KVTRELAY_E_NOTFOUND;
    std::string package = repository.PackagePath(best->file);
    std::string hex;
    uint64_t size = 0;
    if (!HashFile(package, hex, size))
        return KVTRELAY_E_NOTFOUND;
    // A package damaged on disk is not unpacked.
    if (size != best->size || hex != best->sha256)
        return KVTRELAY_E_DIGEST;
    return UnpackPackage(package, destination);
}

KVTRELAY_Information* MakeInformation(const Selection& selection)
{
    size_t items = 0;
    for (const IndexProduct& p : selection.products)
        items += p.components.size();
    size_t bytes = sizeof(KVTRELAY_Information) + selection.products.size() * sizeof(KVTRELAY_Product) +
                   items * sizeof(KVTRELAY_EntityItem);
    char* block = static_cast<char*>(calloc(1, bytes));
    if (!block)
        return nullptr;
    KVTRELAY_Information* info = reinterpret_cast<KVTRELAY_Information*>(block);
    KVTRELAY_Product* products = reinterpret_cast<KVTRELAY_Product*>(block + sizeof(KVTRELAY_Information));
    KVTRELAY_EntityItem* item = reinterpret_cast<KVTRELAY_EntityItem*>(products + selection.products.size());
    info->products = selection.products.empty() ? nullptr : products;
    info->count = selection.products.size();
    for (size_t i = 0; i < selection.products.size(); ++i) {
        const IndexProduct& p = selection.products[i];
        products[i].entity = p.entity;
        products[i].items = p.components.empty() ? nullptr : item;
        products[i].itemCount = p.components.size();
        for (const IndexComponent& c : p.components)
            *item++ = c.entity;
    }
    return info;
}

}  // namespace kvtrelay
