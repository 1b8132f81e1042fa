// The state behind a KVTRELAY_Context: its repository, options and event subscriptions.
#include "relay_context.h"

#include "text_conversion.h"

bool KVTRELAY_Context::Emit(KVTRELAY_EventType type, const std::string& information, uint64_t total, uint64_t finished)
{
    int index = static_cast<int>(type);
    if (index < 0 || index >= kvtrelay::contract::kEventTypeCount || !events[index].callback)
        return true;
    std::wstring wide = kvtrelay::Utf8ToWide(information);
    KVTRELAY_EventMessage message;
    message.information = information.empty() ? nullptr : &wide[0];
    message.total = total;
    message.finished = finished;
    return events[index].callback(type, &message, events[index].userData) != 0;
}
