#pragma once
/// The one extraction sequence for an opened archive: refuse unsafe names, check the room, make
/// the folders, write each file. The core library's unzip and the relay's export both go through
/// it and only word the failures their own way.

#include "zip_archive.h"

#include <cstdint>
#include <string>

namespace ziparchive {

/// One failure of an extraction, with what a message about it needs.
struct ExtractFailure {
    enum class Step {
        Unsafe,        ///< entry's name is refused (reason); nothing was written
        SpaceUnknown,  ///< the free space below the root could not be read (error); nothing was written
        NoRoom,        ///< the wanted files need total bytes, only available are free; nothing was written
        Folder,        ///< folder path could not be made (error); entry is null for the root itself
        Damaged,       ///< entry cannot be read (reason); the extraction stops
        Write          ///< path could not be written from entry (error)
    };
    Step step = Step::Unsafe;
    const Entry* entry = nullptr;
    std::string path;  ///< the folder or file on disk concerned
    int error = 0;     ///< errno, for SpaceUnknown, Folder and Write
    std::string reason;
    std::uint64_t total = 0;
    std::uint64_t available = 0;
};

/// What an extraction asks of its caller.
class CExtractHandler {
public:
    virtual ~CExtractHandler() = default;
    /// Whether entry is to be written; asked for every entry once all names passed, before the
    /// room is checked, so that the check counts only what will be written. All by default.
    virtual bool Wanted(const Entry& entry)
    {
        (void)entry;
        return true;
    }
    /// Reports failure; true to go on with the next entry, which only Folder and Write allow.
    virtual bool Failed(const ExtractFailure& failure) = 0;
};

/// Extracts archive below root (given without a trailing "/"). Nothing is written unless every
/// name passes the rule and the wanted files fit in the free space; then each wanted folder is
/// made and each wanted file written through CFileWriter. With makeRoot, root is made first,
/// even for an archive with nothing in it. True when every wanted entry was written.
bool Extract(CArchive& archive, const std::string& root, CExtractHandler& handler, bool makeRoot);

}  // namespace ziparchive
