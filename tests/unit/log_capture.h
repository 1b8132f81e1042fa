#pragma once
// The one capture of the framework's log for the unit test programs: each message with its level.

#include <wx/log.h>

#include <string>
#include <vector>

namespace VkaTest {

/// One logged message.
struct LoggedMessage {
    wxLogLevel level;
    std::string text;
    bool operator==(const LoggedMessage& o) const { return level == o.level && text == o.text; }
};

/// Collects every message logged while alive, at every level, and restores the previous target.
class LogCapture : public wxLog {
public:
    LogCapture() : m_previous(wxLog::SetActiveTarget(this))
    {
        wxLog::SetVerbose(true);
        wxLog::SetLogLevel(wxLOG_Max);
    }
    ~LogCapture() override { wxLog::SetActiveTarget(m_previous); }

    std::vector<LoggedMessage> records;

    /// The texts logged at exactly this level, in order.
    std::vector<std::string> At(wxLogLevel level) const
    {
        std::vector<std::string> out;
        for (const LoggedMessage& r : records)
            if (r.level == level)
                out.push_back(r.text);
        return out;
    }

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override
    {
        records.push_back({level, msg.ToStdString(wxConvUTF8)});
    }

private:
    wxLog* m_previous;
};

}  // namespace VkaTest
