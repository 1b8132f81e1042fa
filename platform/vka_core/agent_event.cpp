// Agent event records: attribute presence and the severity of a log level.

#include "agent_event.h"

namespace VkaCore {

void XMLObject::SetAttributeNull(const std::string& attribute, bool isNull)
{
    if (isNull)
        m_present.erase(attribute);
    else
        m_present.insert(attribute);
}

bool XMLObject::IsAttributePresent(const std::string& attribute) const
{
    return m_present.count(attribute) != 0;
}

int CAgentEvent::ToSeverity(int logLevel)
{
    // Framework levels: 0 fatal, 1 error, 2 warning, 3 message, 4 status, 5 info and up.
    switch (logLevel) {
    case 0:
    case 1: return kSeverityError;
    case 2: return kSeverityWarning;
    default: return kSeverityInfo;
    }
}

}  // namespace VkaCore
