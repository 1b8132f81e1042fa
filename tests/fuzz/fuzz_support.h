#pragma once
// What the fuzz targets share: a private scratch folder per process, writing an input to a
// file, and a log target that formats every message and keeps none.

#include <wx/init.h>
#include <wx/log.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <ftw.h>
#include <unistd.h>

namespace fuzz {

/// Formats each message (so a bad format argument still shows) and drops it: thousands of
/// warnings per second on stderr would only slow the run down.
class CDiscardingLog : public wxLog {
protected:
    void DoLogRecord(wxLogLevel, const wxString& msg, const wxLogRecordInfo&) override { (void)msg.length(); }
};

/// Initialises the framework once and routes its log into the discarding target.
inline void InitFramework()
{
    static const bool done = [] {
        wxInitialize();
        wxLog::SetActiveTarget(new CDiscardingLog);
        wxLog::SetLogLevel(wxLOG_Max);
        wxLog::SetVerbose(true);
        return true;
    }();
    (void)done;
}

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*)
{
    ::remove(path);
    return 0;
}

/// Removes a folder tree; missing paths are fine.
inline void RemoveTree(const std::string& path)
{
    ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

/// A folder of this process's own, created on first use and removed at exit.
inline const std::string& ScratchFolder()
{
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vka-fuzz-XXXXXX";
        if (!::mkdtemp(&pattern[0]))
            std::abort();
        std::atexit([] { RemoveTree(ScratchFolder()); });
        return pattern;
    }();
    return folder;
}

/// Writes data to path, replacing it; aborts when the scratch folder cannot be written, which
/// is a broken set-up rather than a finding.
inline void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0)
        std::abort();
}

/// Stops the run with a message when an invariant of the code under test does not hold;
/// libFuzzer and the replay runner both treat the abort as a failure and keep the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                         \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

}  // namespace fuzz
