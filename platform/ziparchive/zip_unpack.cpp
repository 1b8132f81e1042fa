// The extraction sequence: every check that can refuse the whole archive comes before the first
// byte is written, so a refused archive leaves the destination as it was.

#include "zip_unpack.h"

#include "folders.h"

#include <vector>

namespace ziparchive {

namespace {

// The names pass the rule and the wanted files fit; false after reporting why not.
bool mayStart(CArchive& archive, const std::string& root, CExtractHandler& handler, std::vector<bool>& wanted)
{
    const std::vector<Entry>& entries = archive.Entries();
    ExtractFailure failure;
    if (const Entry* refused = FirstRefused(entries, failure.reason)) {
        failure.step = ExtractFailure::Step::Unsafe;
        failure.entry = refused;
        handler.Failed(failure);
        return false;
    }
    wanted.assign(entries.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        wanted[i] = handler.Wanted(entries[i]);
        if (wanted[i] && !entries[i].isDir)
            failure.total += entries[i].size;
    }
    if (failure.total == 0)
        return true;
    failure.path = root;
    if (!FreeSpace(root, failure.available, failure.error)) {
        failure.step = ExtractFailure::Step::SpaceUnknown;
        handler.Failed(failure);
        return false;
    }
    if (failure.total > failure.available) {
        failure.step = ExtractFailure::Step::NoRoom;
        handler.Failed(failure);
        return false;
    }
    return true;
}

}  // namespace

bool Extract(CArchive& archive, const std::string& root, CExtractHandler& handler, bool makeRoot)
{
    std::vector<bool> wanted;
    if (!mayStart(archive, root, handler, wanted))
        return false;
    fdio::CFolderMaker folders;
    ExtractFailure failure;
    if (makeRoot && (failure.error = folders.Make(root)) != 0) {
        failure.step = ExtractFailure::Step::Folder;
        failure.path = root;
        handler.Failed(failure);
        return false;
    }
    CFileWriter writer;
    const std::vector<Entry>& entries = archive.Entries();
    bool ok = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!wanted[i])
            continue;
        const Entry& e = entries[i];
        std::string target = root + "/" + e.name;
        while (target.size() > root.size() + 1 && target.back() == '/')
            target.pop_back();
        failure = ExtractFailure();
        failure.entry = &e;
        failure.path = e.isDir ? target : ParentOf(target);
        failure.step = ExtractFailure::Step::Folder;
        if ((failure.error = folders.Make(failure.path)) == 0 && !e.isDir) {
            failure.path = target;
            const Outcome outcome = writer.Write(archive, e, target, failure.error, failure.reason);
            if (outcome == Outcome::Ok)
                continue;
            failure.step = outcome == Outcome::Damaged ? ExtractFailure::Step::Damaged : ExtractFailure::Step::Write;
        } else if (failure.error == 0) {
            continue;
        }
        ok = false;
        if (!handler.Failed(failure) || failure.step == ExtractFailure::Step::Damaged)
            return false;
    }
    return ok;
}

}  // namespace ziparchive
