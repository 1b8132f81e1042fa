// Listing, mirroring and exporting: what GetInformation, Duplicate and ExportComponent do.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "fd_write.h"
#include "package_export.h"
#include "relay_context.h"
#include "text_conversion.h"
#include "repository.h"
#include "sha256_stream.h"
#include "transport.h"

namespace kvtrelay {

namespace {

const size_t kWriteBuffer = 1 << 20;
// Progress is reported after at least this many new bytes, or this long after the last report
// once new bytes have come, so that a handler can stop a slow transfer; and once at the end.
const uint64_t kProgressStep = 256 * 1024;
const auto kProgressInterval = std::chrono::seconds(1);
// Digests in messages are cut to this many hex digits.
const size_t kDigestShown = 16;

// What the downloads of one operation share, so that buffers and the hashing thread are made
// once: fresh buffers for every file cost a page fault per page.
struct DownloadScratch {
    std::vector<char> gather, spare;
    CHashWorker hasher;  // last, so it stops before the buffers it reads go
};

std::string shortDigest(const std::string& hex)
{
    return hex.size() > kDigestShown ? hex.substr(0, kDigestShown) + "..." : hex;
}

// Free bytes for an unprivileged writer on the file system of path; false when unknown.
bool freeSpace(const std::string& path, uint64_t& bytes)
{
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0)
        return false;
    bytes = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
    return true;
}

// Writes a download to "<final>.part", hashing while it arrives, and renames it into place
// only when size and digest are right. A transfer that fails keeps its part file, and the next
// run goes on from its bytes; a part that turns out wrong is dropped and fetched again whole.
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
        if (m_fd >= 0)
            close(m_fd);
    }

    int32_t Run()
    {
        std::string part = m_final.substr(0, m_final.rfind('/') + 1) + PartName(m_name);
        m_fd = open(part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            m_reason = part + ": " + strerror(errno);
            return KVTRELAY_E_WRITE;
        }
        int32_t status = KVTRELAY_E_WRITE;
        bool keep = false;
        // A second pass, from byte 0, only when the bytes already there were no good start.
        for (int pass = 0; pass < 2; ++pass) {
            bool retry = false;
            status = transfer(pass == 0, retry, keep);
            if (!retry)
                break;
        }
        if (close(m_fd) != 0 && status > 0) {
            m_reason = part + ": " + strerror(errno);
            status = KVTRELAY_E_WRITE;
        }
        m_fd = -1;
        if (status > 0 && rename(part.c_str(), m_final.c_str()) != 0) {
            m_reason = m_final + ": " + strerror(errno);
            status = KVTRELAY_E_WRITE;
        }
        if (status <= 0 && !keep)
            unlink(part.c_str());
        return status;
    }

    /// Why Run failed, for the failure report; empty after a cancel.
    const std::string& Reason() const { return m_reason; }
    uint64_t Received() const { return m_received; }

private:
    // Starts the part file over, or goes on after its bytes (hashing them first). False when
    // it cannot be read or cut.
    bool prepare(bool resume)
    {
        m_hasher.Wait();
        m_sha.reset(new (std::nothrow) CSha256);
        m_buffer.clear();
        m_received = m_reported = m_start = 0;
        struct stat st;
        if (fstat(m_fd, &st) != 0)
            return false;
        uint64_t have = static_cast<uint64_t>(st.st_size);
        if (!resume || have > m_component.size)
            have = 0;
        if (have > 0 && m_sha && m_sha->IsValid()) {
            std::vector<char>& buf = m_spare;
            try {
                buf.resize(kWriteBuffer);
            } catch (const std::bad_alloc&) {
                have = 0;
            }
            uint64_t done = 0;
            while (done < have) {
                ssize_t n = pread(m_fd, buf.data(), std::min<uint64_t>(buf.size(), have - done),
                                  static_cast<off_t>(done));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                m_sha->Update(buf.data(), static_cast<size_t>(n));
                done += static_cast<uint64_t>(n);
            }
            if (done != have) {
                have = 0;
                m_sha.reset(new (std::nothrow) CSha256);
            }
            buf.clear();
        }
        if (have == 0 && ftruncate(m_fd, 0) != 0)
            return false;
        if (lseek(m_fd, static_cast<off_t>(have), SEEK_SET) != static_cast<off_t>(have))
            return false;
        m_received = m_reported = m_start = have;
        m_lastProgress = std::chrono::steady_clock::now();
        return true;
    }

    int32_t transfer(bool resume, bool& retry, bool& keep)
    {
        retry = keep = false;
        const uint64_t total = m_component.size;
        if (!prepare(resume)) {
            m_reason = std::string("part file: ") + strerror(errno);
            return KVTRELAY_E_WRITE;
        }
        if (!m_sha || !m_sha->IsValid())
            return KVTRELAY_E_NOMEMORY;
        if (resume && !m_context.Emit(KVTRELAY_EVENT_DOWNLOADBEGIN, m_name, total, 0))
            return KVTRELAY_E_CANCELLED;
        // Room first: a source that declares more than fits fails at once, not when full.
        uint64_t room = 0;
        if (freeSpace(m_final.substr(0, m_final.rfind('/') + 1), room) && room < total - m_start) {
            m_reason = "needs " + std::to_string(total - m_start) + " bytes, the repository's file system has " +
                       std::to_string(room) + " bytes free";
            return KVTRELAY_E_WRITE;
        }
        int32_t status = KVTRELAY_S_OK;
        if (m_start < total) {
            bool stopped = false;
            status = m_transport.Fetch(m_component.package,
                                       [this](const char* data, size_t size) { return accept(data, size); },
                                       stopped, m_start, total);
        }
        if (m_cancelled)
            return KVTRELAY_E_CANCELLED;
        if (m_writeFailed) {
            m_reason = std::string("writing the part file: ") + strerror(m_writeErrno);
            return KVTRELAY_E_WRITE;
        }
        if (m_noMemory)
            return KVTRELAY_E_NOMEMORY;
        if (m_oversize) {
            m_reason = "more bytes than the declared size " + std::to_string(total);
            return KVTRELAY_E_DIGEST;
        }
        if (status <= 0 && m_transport.RangeRefused() && m_start > 0) {
            retry = true;
            return status;
        }
        bool flushed = flush();
        int flushErrno = errno;
        m_hasher.Wait();
        if (!flushed) {
            m_reason = std::string("writing the part file: ") + strerror(flushErrno);
            return KVTRELAY_E_WRITE;
        }
        if (status <= 0) {
            // Everything received is in the part file: the next run goes on from there.
            keep = status == KVTRELAY_E_DOWNLOAD && m_received > 0;
            m_reason = m_transport.Error();
            return status;
        }
        std::string digest = m_sha->HexDigest();
        if (m_received != total || digest != m_component.sha256) {
            if (m_start > 0) {
                retry = true;  // the bytes kept from before may be of other contents
                return KVTRELAY_E_DIGEST;
            }
            if (m_received != total)
                m_reason = "size " + std::to_string(m_received) + " bytes, expected " + std::to_string(total);
            else
                m_reason = "SHA-256 " + shortDigest(digest) + ", expected " + shortDigest(m_component.sha256);
            return KVTRELAY_E_DIGEST;
        }
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
            m_hasher.Start(*m_sha, data, size);
            written = writeOut(data, size) && written;
            int err = errno;
            m_hasher.Wait();
            if (!written) {
                m_writeFailed = true;
                m_writeErrno = err;
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
                m_writeErrno = errno;
                return false;
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (m_received - m_reported >= kProgressStep || now - m_lastProgress >= kProgressInterval) {
            m_reported = m_received;
            m_lastProgress = now;
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
        int err = errno;
        m_hasher.Wait();
        m_buffer.swap(m_spare);
        m_hasher.Start(*m_sha, m_spare.data(), m_spare.size());
        m_buffer.clear();
        errno = err;
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
    std::string m_final, m_name, m_reason;
    int m_fd = -1;
    std::unique_ptr<CSha256> m_sha;
    uint64_t m_received = 0, m_reported = 0, m_start = 0;
    std::chrono::steady_clock::time_point m_lastProgress;
    int m_writeErrno = 0;
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
            AppendRelayLog(context.repository, "source " + std::to_string(i + 1) + ": no url");
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
        std::string reason = status == KVTRELAY_E_INDEX && !error.empty() ? "malformed index, " + error : t->Error();
        AppendRelayLog(context.repository, t->Location(kIndexName) + ": " + (reason.empty() ? "cannot be read" : reason));
        delete t;
    }
    return status;
}

namespace {

// Reports a package that could not be mirrored: in the downloadend event and in relay.log.
// False when the handler asked to stop.
bool reportFailure(KVTRELAY_Context& context, CTransport& transport, const IndexComponent& c,
                   const std::string& name, const std::string& reason, uint64_t received)
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
            if (!ParseEntityId(old, e) || !repository.Find(e) ||
                std::find(ids.begin(), ids.end(), old) != ids.end())
                continue;
            for (const KVTRELAY_EntityItem& f : failed)
                if (SameComponent(f, e))
                    ids.push_back(old);
        }
    }
    return ids;
}

}  // namespace

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

    std::map<std::string, bool> done;  // component id: held after this run
    DownloadScratch scratch;
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
                stopAfter = download.m_cancelAfter;
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
    // Reading creates nothing: a folder that holds no repository is an error of the path.
    CRepository repository(context.repository);
    struct stat st;
    if (!IsFolder(context.repository) || stat(repository.ServerFile().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return KVTRELAY_E_REPOSITORY;
    CRepositoryLock lock;
    int32_t status = lock.Acquire(context.repository, CRepositoryLock::DefaultTimeout(), false);
    if (status <= 0)
        return status;
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
