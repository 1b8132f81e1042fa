// The agent event store: one SQLite database, events.db in the work folder, shared by every
// agent process. Each write opens its own connection, so a forked worker never inherits one.

#include "agent_event.h"
#include "dom.h"

#include <wx/log.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>
#include <sys/stat.h>

namespace VkaCore {

namespace {

constexpr const char* kEventsFile = "events.db";
#ifdef SQLITE_OPEN_NOFOLLOW
constexpr int kNoFollow = SQLITE_OPEN_NOFOLLOW;
#else
constexpr int kNoFollow = 0;  // an SQLite older than 3.31: links are followed there
#endif
// Another process may hold the write lock (or be switching the journal mode) for a while;
// writers wait this long before the write counts as failed.
constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS agent_events("
                                     "id INTEGER PRIMARY KEY, "
                                     "event INTEGER NOT NULL, "
                                     "severity INTEGER NOT NULL, "
                                     "seconds INTEGER NOT NULL, "
                                     "millis INTEGER NOT NULL, "
                                     "text TEXT NOT NULL)";

// Owns one connection; closes it on every path.
class EventDb {
public:
    ~EventDb()
    {
        if (m_stmt)
            sqlite3_finalize(m_stmt);
        if (m_db)
            sqlite3_close(m_db);
    }

    // Opens (and, for writers, creates and prepares) the database. On failure error holds
    // sqlite's message.
    bool Open(const std::string& path, bool forWriting, std::string& error)
    {
        // A link planted as events.db in a shared work folder is refused, not followed.
        int flags = SQLITE_OPEN_READWRITE | kNoFollow | (forWriting ? SQLITE_OPEN_CREATE : 0);
        int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
        if (rc != SQLITE_OK)
            return Fail(rc, error);
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        if (!forWriting)
            return true;
        // WAL lets readers and several writers' processes share the file; FULL sync makes a
        // committed event survive a power cut, which is the point of writing it at once.
        if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error) ||
            !Exec(kCreateTable, error))
            return false;
        return true;
    }

    bool Exec(const char* sql, std::string& error)
    {
        // The busy handler does not cover every lock upgrade (a journal mode switch racing
        // another opener can report busy at once), so those are retried here.
        return Retried([&] { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }, SQLITE_OK, error);
    }

    bool Insert(const CAgentEvent& ev, std::string& error)
    {
        int rc = sqlite3_prepare_v2(m_db,
                                    "INSERT INTO agent_events(event, severity, seconds, millis, text) "
                                    "VALUES(?, ?, ?, ?, ?)",
                                    -1, &m_stmt, nullptr);
        if (rc != SQLITE_OK)
            return Fail(rc, error);
        // Only attributes marked present carry meaning; the others are stored as 0 or "".
        auto present = [&ev](const char* attr) { return ev.IsAttributePresent(attr); };
        sqlite3_bind_int(m_stmt, 1, present(CAgentEvent::kEvent) ? ev.m_event : 0);
        sqlite3_bind_int(m_stmt, 2, present(CAgentEvent::kSeverity) ? ev.m_severity : 0);
        sqlite3_bind_int64(m_stmt, 3, present(CAgentEvent::kSeconds) ? ev.m_seconds : 0);
        sqlite3_bind_int64(m_stmt, 4, present(CAgentEvent::kMillis) ? ev.m_millis : 0);
        std::string text;
        if (present(CAgentEvent::kText)) {
            wxScopedCharBuffer utf8 = ev.m_text.utf8_str();
            text.assign(utf8.data(), utf8.length());
        }
        sqlite3_bind_text(m_stmt, 5, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return Retried(
            [this] {
                // A statement that answered busy must be reset before it is stepped again.
                const int step = sqlite3_step(m_stmt);
                if ((step & 0xff) == SQLITE_BUSY || (step & 0xff) == SQLITE_LOCKED)
                    sqlite3_reset(m_stmt);
                return step;
            },
            SQLITE_DONE, error);
    }

    bool ReadAll(std::vector<AgentEventRecord>& out, std::string& error)
    {
        int rc = sqlite3_prepare_v2(m_db,
                                    "SELECT id, event, severity, seconds, millis, text "
                                    "FROM agent_events ORDER BY id",
                                    -1, &m_stmt, nullptr);
        if (rc != SQLITE_OK)
            return Fail(rc, error);
        while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
            AgentEventRecord r;
            r.id = sqlite3_column_int64(m_stmt, 0);
            r.event = sqlite3_column_int(m_stmt, 1);
            r.severity = sqlite3_column_int(m_stmt, 2);
            r.seconds = sqlite3_column_int64(m_stmt, 3);
            r.millis = sqlite3_column_int64(m_stmt, 4);
            const unsigned char* text = sqlite3_column_text(m_stmt, 5);
            if (text)
                r.text.assign(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(m_stmt, 5)));
            out.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE)
            return Fail(rc, error);
        return true;
    }

private:
    // Runs attempt until it answers done, retrying busy and locked answers for as long as the
    // busy handler would wait; any other answer fails at once.
    template <typename Attempt> bool Retried(Attempt attempt, int done, std::string& error)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            const int rc = attempt();
            if (rc == done)
                return true;
            if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED)
                return Fail(rc, error);
            if (std::chrono::steady_clock::now() >= deadline)
                return Fail(rc, error);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool Fail(int rc, std::string& error)
    {
        error = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        return false;
    }

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
};

std::string eventsPath(const CDom& dom)
{
    std::string work = dom.Get("app.path.work");
    if (work.empty())
        return std::string();
    if (work.back() != '/')
        work += '/';
    return work + kEventsFile;
}

}  // namespace

bool CDom::AgentEventWrite(const CAgentEvent& event)
{
    int number = event.IsAttributePresent(CAgentEvent::kEvent) ? event.m_event : 0;
    std::string path = eventsPath(*this);
    if (path.empty()) {
        wxLogError("Cannot write agent event %d: the work folder (\"app.path.work\") is not set", number);
        return false;
    }
    std::string error;
    EventDb db;
    if (!db.Open(path, true, error) || !db.Insert(event, error)) {
        wxLogError("Cannot write agent event %d to the event database '%s': %s", number,
                   wxString::FromUTF8(path.c_str()), wxString::FromUTF8(error.c_str()));
        return false;
    }
    return true;
}

void CDom::AgentEventStoreCreate() const
{
    std::string path = eventsPath(*this);
    struct stat st;
    // A stat keeps every later start from opening the database for nothing.
    if (path.empty() || ::stat(path.c_str(), &st) == 0)
        return;
    std::string error;
    EventDb db;
    db.Open(path, true, error);
}

std::vector<AgentEventRecord> CDom::Events() const
{
    std::vector<AgentEventRecord> events;
    std::string path = eventsPath(*this);
    struct stat st;
    // No database yet simply means no events; do not create one just to read it.
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return events;
    std::string error;
    EventDb db;
    if (!db.Open(path, false, error) || !db.ReadAll(events, error)) {
        // A database that exists but has no table yet holds no events either.
        if (error.find("no such table") == std::string::npos)
            wxLogError("Cannot read agent events from the event database '%s': %s", wxString::FromUTF8(path.c_str()),
                       wxString::FromUTF8(error.c_str()));
        events.clear();
    }
    return events;
}

}  // namespace VkaCore
