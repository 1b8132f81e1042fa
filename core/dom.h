#pragma once
// The domain object: the agent's shared store of named, typed values.

#include <wx/string.h>

#include <cstdint>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct lua_State;

namespace VkaCore {

class CAgentEvent;

/// One agent event as read back from the event store.
struct AgentEventRecord {
    long long id = 0;
    int event = 0;
    int severity = 0;
    long long seconds = 0;
    long long millis = 0;
    std::string text;
};

/// Thread-safe store of case-sensitive keys holding a string, a boolean or a 64-bit integer.
class CDom {
public:
    enum class Type { None, String, Boolean, Integer };

    /// Creates a domain object; the first one created in a process becomes the primary domain.
    /// The arguments are reserved and must be null/false. Release with Dispose().
    static CDom* New(void* parent, void* config, void* reserved, bool shared);
    /// The primary domain of the process, or null before the first New().
    static CDom* Primary();
    /// Destroys the object (the only way to release it).
    virtual void Dispose();

    /// Stores a value; readable at once from any thread.
    bool Set(const std::string& key, bool value);
    bool Set(const std::string& key, const char* value);
    bool Set(const std::string& key, const std::string& value);
    bool SetInt(const std::string& key, long long value);
    bool SetWx(const wxString& key, const wxString& value);
    bool SetWx(const wxString& key, long long value);
    /// Removes a key; true when it was set.
    bool Unset(const std::string& key);

    /// The value as a string ("" when unset; "true"/"false"; decimal for integers).
    std::string Get(const std::string& key) const;
    /// Reads a boolean into value; leaves value alone and returns false when unset or not boolean.
    bool Get(const std::string& key, bool& value) const;
    /// Reads an integer into value; leaves value alone and returns false when unset or not integer.
    bool Get(const std::string& key, long long& value) const;
    /// The value as a framework string (UTF-8 decoded).
    wxString GetWxString(const wxString& key) const;
    /// The stored type of a key, Type::None when unset.
    Type TypeOf(const std::string& key) const;
    /// Sorted keys beginning with prefix.
    std::vector<std::string> Keys(const std::string& prefix = std::string()) const;
    /// A counter that changes whenever any value changes, so readers can cache derived state.
    unsigned long Generation() const { return m_generation.load(std::memory_order_acquire); }

    /// The folder <app.path.work>/<plugin>, created owner-only when missing.
    wxString GetPluginWorkdirWx(const wxString& plugin);

    /// Installs the archive module searcher over "app.lua.zippath" in the Lua state,
    /// right after the preload searcher.
    void RegisterLoader(lua_State* L);

    /// Stores an agent event durably in <app.path.work>/events.db; false (and an error
    /// logged) when the write fails.
    bool AgentEventWrite(const CAgentEvent& event);
    /// Creates <app.path.work>/events.db with its table when there is none yet, so that readers
    /// find the table from the first start. Quiet: a failure is reported by the first write.
    void AgentEventStoreCreate() const;
    /// The agent events written so far, oldest first.
    std::vector<AgentEventRecord> Events() const;

protected:
    CDom();
    virtual ~CDom();

private:
    struct Value {
        Type type = Type::None;
        std::string text;
        bool flag = false;
        long long number = 0;
    };
    bool Store(const std::string& key, Value value);

    mutable std::mutex m_mutex;
    std::map<std::string, Value> m_values;
    std::atomic<unsigned long> m_generation{0};
};

}  // namespace VkaCore
