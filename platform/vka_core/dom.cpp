// The domain object: typed values under case-sensitive keys, shared by every thread.

#include "dom.h"
#include "folders.h"
#include "utf8_text.h"

#include <wx/filefn.h>
#include <wx/filename.h>

namespace VkaCore {

namespace {

// The primary domain is read by the log target and tracing from any thread, so it is an
// atomic pointer; it is cleared when that object goes away so nobody reads a dead object.
std::atomic<CDom*> g_primary{nullptr};

}  // namespace

CDom* CDom::New(void*, void*, void*, bool)
{
    CDom* dom = new CDom();
    CDom* expected = nullptr;
    g_primary.compare_exchange_strong(expected, dom);
    return dom;
}

CDom* CDom::Primary()
{
    return g_primary.load(std::memory_order_acquire);
}

void CDom::Dispose()
{
    delete this;
}

CDom::CDom() = default;

CDom::~CDom()
{
    CDom* self = this;
    g_primary.compare_exchange_strong(self, nullptr);
}

bool CDom::Store(const std::string& key, Value value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = std::move(value);
    m_generation.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool CDom::Set(const std::string& key, bool value)
{
    Value v;
    v.type = Type::Boolean;
    v.flag = value;
    return Store(key, std::move(v));
}

bool CDom::Set(const std::string& key, const char* value)
{
    // A null text is stored as the empty string rather than dereferenced.
    return Set(key, std::string(value ? value : ""));
}

bool CDom::Set(const std::string& key, const std::string& value)
{
    Value v;
    v.type = Type::String;
    v.text = value;
    return Store(key, std::move(v));
}

bool CDom::SetInt(const std::string& key, long long value)
{
    Value v;
    v.type = Type::Integer;
    v.number = value;
    return Store(key, std::move(v));
}

bool CDom::SetWx(const wxString& key, const wxString& value)
{
    return Set(ToUtf8(key), ToUtf8(value));
}

bool CDom::SetWx(const wxString& key, long long value)
{
    return SetInt(ToUtf8(key), value);
}

bool CDom::Unset(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    bool erased = m_values.erase(key) > 0;
    m_generation.fetch_add(1, std::memory_order_acq_rel);
    return erased;
}

std::string CDom::Get(const std::string& key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it == m_values.end())
        return std::string();
    const Value& v = it->second;
    switch (v.type) {
    case Type::String: return v.text;
    case Type::Boolean: return v.flag ? "true" : "false";
    case Type::Integer: return std::to_string(v.number);
    case Type::None: break;
    }
    return std::string();
}

bool CDom::Get(const std::string& key, bool& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it == m_values.end() || it->second.type != Type::Boolean)
        return false;
    value = it->second.flag;
    return true;
}

bool CDom::Get(const std::string& key, long long& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it == m_values.end() || it->second.type != Type::Integer)
        return false;
    value = it->second.number;
    return true;
}

wxString CDom::GetWxString(const wxString& key) const
{
    std::string raw = Get(ToUtf8(key));
    if (raw.empty())
        return wxString();
    return FromUtf8OrBytes(raw);
}

CDom::Type CDom::TypeOf(const std::string& key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    return it == m_values.end() ? Type::None : it->second.type;
}

std::vector<std::string> CDom::Keys(const std::string& prefix) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> keys;
    // The map is ordered, so the keys with the prefix form one run starting at lower_bound.
    for (auto it = m_values.lower_bound(prefix); it != m_values.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0)
            break;
        keys.push_back(it->first);
    }
    return keys;
}

wxString CDom::GetPluginWorkdirWx(const wxString& plugin)
{
    wxString work = GetWxString("app.path.work");
    if (work.empty())
        work = wxGetCwd();
    wxFileName dir = wxFileName::DirName(work);
    if (!plugin.empty())
        dir.AppendDir(plugin);
    wxString path = dir.GetPath();
    // Work folders are the owner's alone; existing ones keep their mode, as they may be shared.
    fdio::CFolderMaker(0700, true).Make(ToUtf8(path));
    return path;
}

}  // namespace VkaCore
