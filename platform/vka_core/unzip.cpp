// Unpacking ZIP archives: one reading of the entry list decides what is refused, what the
// callback is asked about and what is written; then one entry at a time goes into a temporary
// file that is renamed into place once its data checked out.

#include "unzip.h"

#include "utf8_text.h"
#include "zip_archive.h"

#include <wx/log.h>

#include <memory>
#include <string>
#include <vector>

namespace VkaCore {

namespace {

std::string toBytes(const wxString& s)
{
    const wxScopedCharBuffer buf = s.fn_str();
    return buf.data() ? std::string(buf.data(), buf.length()) : std::string();
}

wxString folderOf(const wxFileName& folder)
{
    wxString path = folder.GetFullPath();
    if (!folder.GetFullName().empty() && !wxDirExists(path))
        path = folder.GetPath();
    while (path.length() > 1 && path.Last() == '/')
        path.RemoveLast();
    return path;
}

wxString sizeText(std::uint64_t bytes)
{
    return wxString::Format("%llu bytes", static_cast<unsigned long long>(bytes));
}

// The record the callback sees, built from the same entry that is checked and written.
std::unique_ptr<wxZipEntry> recordOf(const ziparchive::Entry& e)
{
    std::unique_ptr<wxZipEntry> record(new wxZipEntry(FromUtf8OrBytes(e.name)));
    record->SetIsDir(e.isDir);
    record->SetSize(static_cast<wxFileOffset>(e.size));
    record->SetMethod(e.method);
    record->SetSystemMadeBy(e.system);
    record->SetExternalAttributes(e.attributes);
    if (e.mtime > 0)
        record->SetDateTime(wxDateTime(static_cast<time_t>(e.mtime)));
    return record;
}

}  // namespace

bool Unzip(const wxFileName& source, const wxFileName& folder, UnzipCallback callback, void* context)
{
    const wxString archivePath = source.GetFullPath();
    const wxString target = folderOf(folder);
    const std::string targetBytes = toBytes(target);

    std::string problem;
    ziparchive::OpenProblem kind;
    std::unique_ptr<ziparchive::CArchive> archive = ziparchive::CArchive::Open(toBytes(archivePath), problem, &kind);
    if (!archive) {
        const char* format = kind == ziparchive::OpenProblem::Damaged      ? "Damaged archive '%s': %s"
                             : kind == ziparchive::OpenProblem::NotRegular ? "Refusing archive '%s': %s"
                                                                           : "Cannot open archive '%s': %s";
        wxLogWarning(format, archivePath, FromUtf8OrBytes(problem));
        return false;
    }
    const std::vector<ziparchive::Entry>& entries = archive->Entries();
    // Before anything is called or written: one refused name refuses the whole archive.
    if (const ziparchive::Entry* refused = ziparchive::FirstRefused(entries, problem)) {
        wxLogWarning("Refusing archive '%s': unsafe entry '%s' (%s)", archivePath,
                     FromUtf8OrBytes(ziparchive::ShownName(refused->name)), FromUtf8OrBytes(problem));
        return false;
    }

    // Every entry is offered first, so that what will be written is known, and checked
    // against the free space, before the first byte is.
    std::vector<bool> chosen(entries.size(), false);
    std::uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ziparchive::Entry& e = entries[i];
        std::unique_ptr<wxZipEntry> record = recordOf(e);
        std::string name = e.name;
        if (e.isDir && name.back() != '/')
            name += '/';
        const wxString path = target + "/" + FromUtf8OrBytes(name);
        if (callback && !callback(context, record.get(), &path))
            continue;
        chosen[i] = true;
        if (!e.isDir)
            total += e.size;
    }
    if (total > 0) {
        std::uint64_t available = 0;
        int error = 0;
        if (!ziparchive::FreeSpace(targetBytes, available, error)) {
            wxLogError("Cannot check the free space in '%s' for archive '%s': %s", target, archivePath,
                       wxSysErrorMsgStr(error));
            return false;
        }
        if (total > available) {
            wxLogWarning("Refusing archive '%s': it unpacks to %s, but '%s' has only %s free", archivePath,
                         sizeText(total), target, sizeText(available));
            return false;
        }
    }

    ziparchive::CFolderMaker folders;
    ziparchive::CFileWriter writer;
    bool ok = true;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!chosen[i])
            continue;
        const ziparchive::Entry& e = entries[i];
        const wxString path = target + "/" + FromUtf8OrBytes(e.name);
        std::string dest = targetBytes + "/" + e.name;
        while (dest.size() > targetBytes.size() + 1 && dest.back() == '/')
            dest.pop_back();
        int error = 0;
        if (e.isDir) {
            if ((error = folders.Make(dest)) != 0) {
                wxLogError("Cannot create folder '%s' from archive '%s': %s", path, archivePath,
                           wxSysErrorMsgStr(error));
                ok = false;
            }
            continue;
        }
        if ((error = folders.Make(ziparchive::ParentOf(dest))) != 0) {
            wxLogError("Cannot create folder for '%s' from archive '%s': %s", path, archivePath,
                       wxSysErrorMsgStr(error));
            ok = false;
            continue;
        }
        std::string reason;
        const ziparchive::Outcome outcome = writer.Write(*archive, e, dest, error, reason);
        if (outcome == ziparchive::Outcome::Damaged) {
            wxLogWarning("Damaged archive '%s': entry '%s' cannot be read (%s)", archivePath, FromUtf8OrBytes(e.name),
                         FromUtf8OrBytes(reason));
            return false;
        }
        if (outcome == ziparchive::Outcome::WriteFailed) {
            wxLogError("Cannot write '%s' from archive '%s': %s", path, archivePath, wxSysErrorMsgStr(error));
            ok = false;
        }
    }
    return ok;
}

}  // namespace VkaCore
