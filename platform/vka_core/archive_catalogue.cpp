// Opens a Lua archive once and then reads each entry on demand, so loading many modules from
// one archive costs one directory reading, not one per module.

#include "archive_catalogue.h"

#include <wx/log.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sys/stat.h>

namespace VkaCore {

std::shared_ptr<const CArchiveCatalogue> CArchiveCatalogue::Read(const std::string& path, std::string& reason)
{
    std::unique_ptr<ziparchive::CArchive> archive = ziparchive::CArchive::Open(path, reason);
    if (!archive)
        return nullptr;
    std::string why;
    if (const ArchiveEntry* refused = ziparchive::FirstRefused(archive->Entries(), why)) {
        reason = "unsafe entry '" + ziparchive::ShownName(refused->name) + "' (" + why + ")";
        return nullptr;
    }
    auto catalogue = std::make_shared<CArchiveCatalogue>();
    catalogue->m_path = path;
    catalogue->fileSize = archive->fileSize;
    catalogue->fileMtime = archive->fileMtime;
    catalogue->m_entries.reserve(archive->Entries().size());
    for (const ArchiveEntry& e : archive->Entries()) {
        if (e.isDir)
            continue;  // folders hold no code
        // The first entry of a name wins, as with unzip tools that read in directory order.
        catalogue->m_entries.emplace(e.name, &e);
    }
    catalogue->m_archive = std::move(archive);
    return catalogue;
}

const ArchiveEntry* CArchiveCatalogue::Find(const std::string& name) const
{
    auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : it->second;
}

bool CArchiveCatalogue::ReadEntry(const ArchiveEntry& entry, std::string& data, std::string& reason) const
{
    std::lock_guard<std::mutex> lock(m_readMutex);
    return m_archive->Read(entry, data, reason) == ziparchive::Outcome::Ok;
}

namespace {

// One slot per archive path; a failed archive keeps its identity so that only a change of the
// file (or its reappearance) makes us try, and warn, again.
struct CacheSlot {
    std::shared_ptr<const CArchiveCatalogue> catalogue;
    bool failed = false;
    bool exists = false;
    off_t size = 0;
    struct timespec mtime = {0, 0};
};

std::mutex g_cacheMutex;
std::map<std::string, CacheSlot> g_cache;

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

std::shared_ptr<const CArchiveCatalogue> CachedArchiveCatalogue(const std::string& path)
{
    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    int statErrno = errno;

    std::lock_guard<std::mutex> lock(g_cacheMutex);
    CacheSlot& slot = g_cache[path];
    if (slot.catalogue && exists && slot.size == st.st_size && sameTime(slot.mtime, st.st_mtim))
        return slot.catalogue;
    if (slot.failed && slot.exists == exists &&
        (!exists || (slot.size == st.st_size && sameTime(slot.mtime, st.st_mtim))))
        return nullptr;  // same broken file as last time: already warned

    std::string reason;
    std::shared_ptr<const CArchiveCatalogue> catalogue;
    if (exists)
        catalogue = CArchiveCatalogue::Read(path, reason);
    else
        reason = std::strerror(statErrno);

    if (catalogue) {
        slot.catalogue = catalogue;
        slot.failed = false;
        slot.exists = true;
        slot.size = catalogue->fileSize;
        slot.mtime = catalogue->fileMtime;
        return catalogue;
    }
    bool warnedAlready = slot.failed;
    slot.catalogue.reset();
    slot.failed = true;
    slot.exists = exists;
    slot.size = exists ? st.st_size : 0;
    slot.mtime = exists ? st.st_mtim : timespec{0, 0};
    // A broken archive that changes but stays broken is still the same problem: warn once.
    if (!warnedAlready)
        wxLogWarning("Lua archive '%s' skipped: %s", wxString::FromUTF8(path.c_str()),
                     wxString::FromUTF8(reason.c_str()));
    return nullptr;
}

}  // namespace VkaCore
