// The relay's identity of a component: its text form, how a request matches an offer, and the
// order of versions.

#include "entity_identity.h"

#include <cctype>
#include <cstdio>

namespace kvtrelay {

namespace {

std::string minorText(uint64_t minor)
{
    if (minor == 0)
        return "0";
    char buf[32];
    snprintf(buf, sizeof buf, "%04llu", static_cast<unsigned long long>(minor));
    return buf;
}

class CReader {
public:
    explicit CReader(const std::string& text) : m_text(text) {}

    bool Literal(char c)
    {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }

    bool Unsigned(uint64_t limit, uint64_t& value)
    {
        size_t start = m_pos;
        value = 0;
        while (m_pos < m_text.size() && isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
            value = value * 10 + static_cast<uint64_t>(m_text[m_pos] - '0');
            if (value > limit)
                return false;
            ++m_pos;
        }
        return m_pos > start;
    }

    bool Signed(int32_t& value)
    {
        bool negative = Literal('-');
        uint64_t v;
        if (!Unsigned(negative ? 2147483648ULL : 2147483647ULL, v))
            return false;
        value = static_cast<int32_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
        return true;
    }

    bool Minor(uint64_t& value)
    {
        static const uint64_t kWeights[4] = {1000, 100, 10, 1};
        size_t start = m_pos;
        value = 0;
        while (m_pos < m_text.size() && isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
            if (m_pos - start >= 4)
                return false;
            value += static_cast<uint64_t>(m_text[m_pos] - '0') * kWeights[m_pos - start];
            ++m_pos;
        }
        return m_pos > start;
    }

    bool AtEnd() const { return m_pos == m_text.size(); }

private:
    const std::string& m_text;
    size_t m_pos = 0;
};

}  // namespace

std::string EntityId(const KVTRELAY_EntityItem& e)
{
    char buf[256];
    // Class and type are written unsigned, the way ParseEntityId reads them: a signed form of
    // a value above INT32_MAX would not read back, and the record holding it would be lost.
    snprintf(buf, sizeof buf, "c%ut%uv%llu.%s.%llul%dp%dr%do%d", static_cast<uint32_t>(e.klass),
             static_cast<uint32_t>(e.type), static_cast<unsigned long long>(e.version.major),
             minorText(e.version.minor).c_str(), static_cast<unsigned long long>(e.version.build), e.language,
             e.platform, e.region, e.oem);
    return buf;
}

bool ParseEntityId(const std::string& text, KVTRELAY_EntityItem& e)
{
    CReader r(text);
    uint64_t klass, type;
    KVTRELAY_EntityItem out{};
    // klass and type are 32-bit identifiers; values above INT32_MAX keep their bits.
    if (!r.Literal('c') || !r.Unsigned(0xFFFFFFFFULL, klass) || !r.Literal('t') || !r.Unsigned(0xFFFFFFFFULL, type) ||
        !r.Literal('v') || !r.Unsigned(0xFFFFFFFFULL, out.version.major) || !r.Literal('.') ||
        !r.Minor(out.version.minor) || !r.Literal('.') || !r.Unsigned(0xFFFFFFFFULL, out.version.build) ||
        !r.Literal('l') || !r.Signed(out.language) || !r.Literal('p') || !r.Signed(out.platform) || !r.Literal('r') ||
        !r.Signed(out.region) || !r.Literal('o') || !r.Signed(out.oem) || !r.AtEnd())
        return false;
    out.klass = static_cast<int32_t>(static_cast<uint32_t>(klass));
    out.type = static_cast<int32_t>(static_cast<uint32_t>(type));
    out.version.revision = 0;
    e = out;
    return true;
}

bool EntityMatches(const KVTRELAY_EntityItem& req, const KVTRELAY_EntityItem& off)
{
    auto field = [](int32_t r, int32_t o) { return r == -1 || r == o; };
    return req.klass == off.klass && req.type == off.type && field(req.language, off.language) &&
           field(req.platform, off.platform) && field(req.region, off.region) && field(req.oem, off.oem);
}

int CompareVersions(const KVT_Version& a, const KVT_Version& b)
{
    const uint64_t av[4] = {a.major, a.minor, a.build, a.revision};
    const uint64_t bv[4] = {b.major, b.minor, b.build, b.revision};
    for (int i = 0; i < 4; ++i)
        if (av[i] != bv[i])
            return av[i] < bv[i] ? -1 : 1;
    return 0;
}

bool ItemMatches(const KVTRELAY_EntityItem& req, const KVTRELAY_EntityItem& off)
{
    if (!EntityMatches(req, off))
        return false;
    const KVT_Version& v = req.version;
    if (v.major == 0 && v.minor == 0 && v.build == 0 && v.revision == 0)
        return true;
    // Identifiers carry no revision, so a request without one takes any.
    return v.major == off.version.major && v.minor == off.version.minor && v.build == off.version.build &&
           (v.revision == 0 || v.revision == off.version.revision);
}

bool SameComponent(const KVTRELAY_EntityItem& a, const KVTRELAY_EntityItem& b)
{
    return a.klass == b.klass && a.type == b.type && a.language == b.language && a.platform == b.platform &&
           a.region == b.region && a.oem == b.oem;
}

}  // namespace kvtrelay
