// Exporting a component: finding its package in the repository, checking it and unpacking it.

#include "package_export.h"

#include <cstring>
#include <memory>
#include <sys/stat.h>

#include <wx/log.h>

#include "file_paths.h"
#include "kvtrelay.h"
#include "repository.h"
#include "repository_lock.h"
#include "sha256_stream.h"
#include "entity_identity.h"
#include "zip_archive.h"

namespace kvtrelay {

namespace {

wxString text(const std::string& s)
{
    wxString out = wxString::FromUTF8(s.data(), s.size());
    return out.empty() && !s.empty() ? wxString::From8BitData(s.data(), s.size()) : out;
}

int32_t refuse(const std::string& package, const wxString& why)
{
    wxLogWarning("Cannot export package '%s': %s", text(package), why);
    return KVTRELAY_E_EXPORT;
}

}  // namespace

int32_t UnpackPackage(const std::string& package, const std::string& destination)
{
    std::string reason;
    std::unique_ptr<ziparchive::CArchive> archive = ziparchive::CArchive::Open(package, reason);
    if (!archive)
        return refuse(package, text(reason));
    const auto& entries = archive->Entries();
    // Names first, so an unsafe archive leaves the destination untouched.
    if (const ziparchive::Entry* refused = ziparchive::FirstRefused(entries, reason))
        return refuse(package, wxString::Format("unsafe entry '%s' (%s)", text(ziparchive::ShownName(refused->name)),
                                                text(reason)));
    const std::uint64_t total = archive->DeclaredTotal();
    std::uint64_t available = 0;
    int error = 0;
    if (!ziparchive::FreeSpace(destination, available, error))
        return refuse(package, wxString::Format("cannot check the free space in '%s': %s", text(destination),
                                                std::strerror(error)));
    if (total > available)
        return refuse(package, wxString::Format("it unpacks to %llu bytes, but '%s' has only %llu bytes free",
                                                static_cast<unsigned long long>(total), text(destination),
                                                static_cast<unsigned long long>(available)));

    ziparchive::CFolderMaker folders;
    if ((error = folders.Make(destination)) != 0)
        return refuse(package, wxString::Format("cannot create '%s': %s", text(destination), std::strerror(error)));
    ziparchive::CFileWriter writer;
    std::string root = destination;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    for (const ziparchive::Entry& e : entries) {
        std::string target = root + "/" + e.name;
        while (target.size() > root.size() + 1 && target.back() == '/')
            target.pop_back();
        const std::string folder = e.isDir ? target : ziparchive::ParentOf(target);
        if ((error = folders.Make(folder)) != 0)
            return refuse(package, wxString::Format("cannot create '%s': %s", text(folder), std::strerror(error)));
        if (e.isDir)
            continue;
        const ziparchive::Outcome outcome = writer.Write(*archive, e, target, error, reason);
        if (outcome == ziparchive::Outcome::Damaged)
            return refuse(package, wxString::Format("entry '%s' cannot be read (%s)", text(e.name), text(reason)));
        if (outcome == ziparchive::Outcome::WriteFailed)
            return refuse(package, wxString::Format("cannot write '%s': %s", text(target), std::strerror(error)));
    }
    return KVTRELAY_S_OK;
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

}  // namespace kvtrelay
