#pragma once
// Agent events: records the host writes through the domain object.

#include <wx/string.h>

#include <set>
#include <string>

namespace VkaCore {

/// A record of named attributes; an attribute counts as present only once it is marked
/// with SetAttributeNull(attr, false).
class XMLObject {
public:
    virtual ~XMLObject() = default;
    /// Marks an attribute absent (isNull true) or present (false).
    void SetAttributeNull(const std::string& attribute, bool isNull);
    /// True when the attribute has been marked present.
    bool IsAttributePresent(const std::string& attribute) const;

private:
    std::set<std::string> m_present;
};

/// An agent event: text, event number, severity and its time.
class CAgentEvent : public XMLObject {
public:
    /// Attribute names, for SetAttributeNull.
    static constexpr const char* kText = "text";
    static constexpr const char* kEvent = "event";
    static constexpr const char* kSeverity = "severity";
    static constexpr const char* kSeconds = "seconds";
    static constexpr const char* kMillis = "millis";

    /// Severity of events, stored as integers.
    enum Severity { kSeverityInfo = 0, kSeverityWarning = 1, kSeverityError = 2 };

    /// Maps a framework log level to an event severity: 2 (warning) gives kSeverityWarning,
    /// 0 and 1 give kSeverityError, every other level (5 information included) kSeverityInfo.
    static int ToSeverity(int logLevel);

    wxString m_text;
    int m_event = 0;
    int m_severity = 0;
    int m_seconds = 0;
    long long m_millis = 0;
};

}  // namespace VkaCore
