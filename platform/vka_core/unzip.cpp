// Unpacking ZIP archives: one reading of the entry list decides what is refused, what the
// callback is asked about and what is written; then one entry at a time goes into a temporary
// file that is renamed into place once its data checked out.

#include "unzip.h"

#include "utf8_text.h"
#include "zip_unpack.h"

#include <wx/log.h>

#include <memory>
#include <string>
#include <vector>

namespace VkaCore {

namespace {

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

// Words the extraction's questions and failures for the application: the callback chooses the
// entries, and every failure is logged as it happens.
class CUnzipReport : public ziparchive::CExtractHandler {
public:
    CUnzipReport(const wxString& archive, const wxString& target, UnzipCallback callback, void* context)
        : m_archive(archive), m_target(target), m_callback(callback), m_context(context)
    {}

    bool Wanted(const ziparchive::Entry& e) override
    {
        if (!m_callback)
            return true;
        std::unique_ptr<wxZipEntry> record = recordOf(e);
        std::string name = e.name;
        if (e.isDir && name.back() != '/')
            name += '/';
        const wxString path = m_target + "/" + FromUtf8OrBytes(name);
        return m_callback(m_context, record.get(), &path);
    }

    bool Failed(const ziparchive::ExtractFailure& f) override
    {
        using Step = ziparchive::ExtractFailure::Step;
        const wxString path = f.entry ? m_target + "/" + FromUtf8OrBytes(f.entry->name) : wxString();
        switch (f.step) {
        case Step::Unsafe:
            wxLogWarning("Refusing archive '%s': unsafe entry '%s' (%s)", m_archive,
                         FromUtf8OrBytes(ziparchive::ShownName(f.entry->name)), FromUtf8OrBytes(f.reason));
            break;
        case Step::SpaceUnknown:
            wxLogError("Cannot check the free space in '%s' for archive '%s': %s", m_target, m_archive,
                       wxSysErrorMsgStr(f.error));
            break;
        case Step::NoRoom:
            wxLogWarning("Refusing archive '%s': it unpacks to %s, but '%s' has only %s free", m_archive,
                         sizeText(f.total), m_target, sizeText(f.available));
            break;
        case Step::Folder:
            wxLogError(f.entry->isDir ? "Cannot create folder '%s' from archive '%s': %s"
                                      : "Cannot create folder for '%s' from archive '%s': %s",
                       path, m_archive, wxSysErrorMsgStr(f.error));
            break;
        case Step::Damaged:
            wxLogWarning("Damaged archive '%s': entry '%s' cannot be read (%s)", m_archive,
                         FromUtf8OrBytes(f.entry->name), FromUtf8OrBytes(f.reason));
            break;
        case Step::Write:
            wxLogError("Cannot write '%s' from archive '%s': %s", path, m_archive, wxSysErrorMsgStr(f.error));
            break;
        }
        return true;  // one file that cannot be written does not stop the others
    }

private:
    const wxString& m_archive;
    const wxString& m_target;
    UnzipCallback m_callback;
    void* m_context;
};

}  // namespace

bool Unzip(const wxFileName& source, const wxFileName& folder, UnzipCallback callback, void* context)
{
    const wxString archivePath = source.GetFullPath();
    const wxString target = folderOf(folder);

    std::string problem;
    ziparchive::OpenProblem kind;
    std::unique_ptr<ziparchive::CArchive> archive =
        ziparchive::CArchive::Open(ToPathBytes(archivePath), problem, &kind);
    if (!archive) {
        const char* format = kind == ziparchive::OpenProblem::Damaged      ? "Damaged archive '%s': %s"
                             : kind == ziparchive::OpenProblem::NotRegular ? "Refusing archive '%s': %s"
                                                                           : "Cannot open archive '%s': %s";
        wxLogWarning(format, archivePath, FromUtf8OrBytes(problem));
        return false;
    }
    CUnzipReport report(archivePath, target, callback, context);
    return ziparchive::Extract(*archive, ToPathBytes(target), report, false);
}

}  // namespace VkaCore
