// Process-wide SQLite set-up from the "sqlite.config.*" domain variables.

#include "sqlite_database.h"

#include "dom.h"

#include <wx/log.h>

#include <sqlite3.h>

#include <mutex>

namespace VkaCore {

namespace {

enum class Arg { Int, Int64Pair, Int64 };

// The options taken from the domain, each an integer; every one of them must be set
// before SQLite is initialised.
struct ConfigOption {
    const char* key;
    int option;
    Arg arg;
};

const ConfigOption kOptions[] = {
    {"sqlite.config.memstatus", SQLITE_CONFIG_MEMSTATUS, Arg::Int},
    {"sqlite.config.uri", SQLITE_CONFIG_URI, Arg::Int},
    {"sqlite.config.covering_index_scan", SQLITE_CONFIG_COVERING_INDEX_SCAN, Arg::Int},
    {"sqlite.config.stmtjrnl_spill", SQLITE_CONFIG_STMTJRNL_SPILL, Arg::Int},
    {"sqlite.config.small_malloc", SQLITE_CONFIG_SMALL_MALLOC, Arg::Int},
    {"sqlite.config.sorterref_size", SQLITE_CONFIG_SORTERREF_SIZE, Arg::Int},
    {"sqlite.config.mmap_size", SQLITE_CONFIG_MMAP_SIZE, Arg::Int64Pair},
    {"sqlite.config.memdb_maxsize", SQLITE_CONFIG_MEMDB_MAXSIZE, Arg::Int64},
};

std::mutex g_mutex;
bool g_initialised = false;

void warnNotApplied(const char* key, long long value, int rc)
{
    wxLogWarning("SQLite option %s=%lld not applied: %s", key, value, sqlite3_errstr(rc));
}

}  // namespace

bool CSqliteDatabase::InitializeSQLite(CDom* dom)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!dom)
        dom = CDom::Primary();
    if (dom) {
        for (const ConfigOption& o : kOptions) {
            long long value = 0;
            if (!dom->Get(o.key, value))
                continue;
            int rc = SQLITE_OK;
            switch (o.arg) {
            case Arg::Int: rc = sqlite3_config(o.option, static_cast<int>(value)); break;
            case Arg::Int64Pair:  // the default and the limit alike
                rc = sqlite3_config(o.option, static_cast<sqlite3_int64>(value), static_cast<sqlite3_int64>(value));
                break;
            case Arg::Int64: rc = sqlite3_config(o.option, static_cast<sqlite3_int64>(value)); break;
            }
            if (rc != SQLITE_OK)
                warnNotApplied(o.key, value, rc);
        }
        // The lookaside pair only makes sense together.
        long long size = 0, count = 0;
        bool haveSize = dom->Get("sqlite.config.lookaside.size", size);
        bool haveCount = dom->Get("sqlite.config.lookaside.count", count);
        if (haveSize && haveCount) {
            int rc = sqlite3_config(SQLITE_CONFIG_LOOKASIDE, static_cast<int>(size), static_cast<int>(count));
            if (rc != SQLITE_OK)
                warnNotApplied("sqlite.config.lookaside.size", size, rc);
        }
    }
    int rc = sqlite3_initialize();
    if (rc != SQLITE_OK) {
        wxLogError("Cannot initialise SQLite: %s", sqlite3_errstr(rc));
        return false;
    }
    g_initialised = true;
    return true;
}

void CSqliteDatabase::ShutdownSQLite()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_initialised)
        return;
    g_initialised = false;
    sqlite3_shutdown();
}

}  // namespace VkaCore
