// Exporting a package: the newest matching version in the repository, checked against its
// recorded digest, unpacked into a folder.

#include "package_export.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "file_paths.h"
#include "folders.h"
#include "framework_warning.h"
#include "kvtrelay.h"
#include "repository.h"
#include "repository_lock.h"
#include "sha256_stream.h"
#include "entity_identity.h"
#include "zip_unpack.h"

namespace kvtrelay {

namespace {

// Weak: the relay must load without the framework, and a process without the core library
// gets the warning on standard error (see framework_warning.h).
#pragma weak VkaCoreLogWarning

int32_t refuse(const std::string& package, const std::string& why)
{
    std::string text = "Cannot export package '" + package + "': " + why;
    if (VkaCoreLogWarning)
        VkaCoreLogWarning(text.c_str());
    else
        fprintf(stderr, "Warning: %s\n", text.c_str());
    return KVTRELAY_E_EXPORT;
}

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

// Words the extraction's failures as the export's: the first one ends it.
class CExportReport : public ziparchive::CExtractHandler {
public:
    CExportReport(const std::string& package, const std::string& destination)
        : m_package(package), m_destination(destination)
    {}

    bool Failed(const ziparchive::ExtractFailure& f) override
    {
        using Step = ziparchive::ExtractFailure::Step;
        switch (f.step) {
        case Step::Unsafe:
            refuse(m_package, "unsafe entry " + quoted(ziparchive::ShownName(f.entry->name)) + " (" + f.reason + ")");
            break;
        case Step::SpaceUnknown:
            refuse(m_package, "cannot check the free space in " + quoted(m_destination) + ": " + std::strerror(f.error));
            break;
        case Step::NoRoom:
            refuse(m_package, "it unpacks to " + std::to_string(f.total) + " bytes, but " + quoted(m_destination) +
                                  " has only " + std::to_string(f.available) + " bytes free");
            break;
        case Step::Folder:
            refuse(m_package, "cannot create " + quoted(f.entry ? f.path : m_destination) + ": " + std::strerror(f.error));
            break;
        case Step::Damaged:
            refuse(m_package, "entry " + quoted(f.entry->name) + " cannot be read (" + f.reason + ")");
            break;
        case Step::Write:
            refuse(m_package, "cannot write " + quoted(f.path) + ": " + std::strerror(f.error));
            break;
        }
        return false;
    }

private:
    const std::string& m_package;
    const std::string& m_destination;
};

}  // namespace

int32_t UnpackPackage(const std::string& package, const std::string& destination)
{
    std::string reason;
    std::unique_ptr<ziparchive::CArchive> archive = ziparchive::CArchive::Open(package, reason);
    if (!archive)
        return refuse(package, reason);
    std::string root = destination;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    CExportReport report(package, destination);
    return ziparchive::Extract(*archive, root, report, true) ? KVTRELAY_S_OK : KVTRELAY_E_EXPORT;
}

int32_t ExportFromRepository(KVTRELAY_Context& context, const std::string& destination,
                             const KVTRELAY_EntityItem& entity)
{
    // Reading creates nothing: a folder that holds no repository is an error of the path.
    CRepository repository(context.repository);
    struct stat st;
    if (!fdio::IsFolder(context.repository) || stat(repository.ServerFile().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
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
