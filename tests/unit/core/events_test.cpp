// The agent event store: severities, presence of attributes, durability across connections,
// several writing processes, and failures reported instead of thrown.

#include "agent_event.h"
#include "dom.h"
#include "service_test_support.h"

#include <gtest/gtest.h>

#include <wx/log.h>

#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using VkaCore::CAgentEvent;
using VkaCore::CDom;

namespace {

class EventStore : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(work.empty());
        dom = CDom::New(nullptr, nullptr, nullptr, false);
        dom->Set("app.path.work", work);
    }
    void TearDown() override { dom->Dispose(); }

    static CAgentEvent fullEvent(int number, const wxString& text)
    {
        CAgentEvent ev;
        ev.m_text = text;
        ev.m_event = number;
        ev.m_severity = CAgentEvent::ToSeverity(2);
        ev.m_millis = 1234567890123LL;
        ev.m_seconds = 1234567890;
        for (const char* a : {CAgentEvent::kText, CAgentEvent::kEvent, CAgentEvent::kSeverity, CAgentEvent::kMillis,
                              CAgentEvent::kSeconds})
            ev.SetAttributeNull(a, false);
        return ev;
    }

    VkaTest::TempDir m_dir;
    std::string work = m_dir.path();
    CDom* dom = nullptr;
};

}  // namespace

TEST(AgentEventSeverity, LogLevelsMapToSeverities)
{
    EXPECT_EQ(CAgentEvent::ToSeverity(5), 0);
    EXPECT_EQ(CAgentEvent::ToSeverity(2), 1);
    EXPECT_EQ(CAgentEvent::ToSeverity(1), 2);
    EXPECT_EQ(CAgentEvent::ToSeverity(0), 2);
    EXPECT_EQ(CAgentEvent::ToSeverity(3), 0);
    EXPECT_EQ(CAgentEvent::ToSeverity(10000), 0);
}

TEST_F(EventStore, WrittenEventsSurviveANewConnectionAndReadBackExactly)
{
    EXPECT_TRUE(dom->Events().empty());
    struct stat st;
    EXPECT_NE(stat((work + "/events.db").c_str(), &st), 0) << "reading must not create the database";

    ASSERT_TRUE(dom->AgentEventWrite(fullEvent(5102, wxString(L"plug|base|/opt/x \u00e9.vkp"))));
    ASSERT_TRUE(dom->AgentEventWrite(fullEvent(5101, "second")));

    // Another domain object (another connection) over the same folder sees both, in order.
    CDom* other = CDom::New(nullptr, nullptr, nullptr, false);
    other->Set("app.path.work", work);
    auto events = other->Events();
    other->Dispose();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, 5102);
    EXPECT_EQ(events[0].severity, 1);
    EXPECT_EQ(events[0].seconds, 1234567890);
    EXPECT_EQ(events[0].millis, 1234567890123LL);
    EXPECT_EQ(events[0].text, "plug|base|/opt/x \xc3\xa9.vkp");
    EXPECT_EQ(events[1].event, 5101);
    EXPECT_LT(events[0].id, events[1].id);
}

TEST_F(EventStore, AbsentAttributesAreStoredAsZeroAndEmpty)
{
    CAgentEvent ev = fullEvent(5105, "not marked");
    ev.SetAttributeNull(CAgentEvent::kText, true);
    ev.SetAttributeNull(CAgentEvent::kMillis, true);
    ASSERT_TRUE(dom->AgentEventWrite(ev));
    CAgentEvent empty;
    empty.m_event = 99;  // assigned but never marked present
    ASSERT_TRUE(dom->AgentEventWrite(empty));

    auto events = dom->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, 5105);
    EXPECT_EQ(events[0].text, "");
    EXPECT_EQ(events[0].millis, 0);
    EXPECT_EQ(events[0].seconds, 1234567890);
    EXPECT_EQ(events[1].event, 0);
    EXPECT_EQ(events[1].severity, 0);
}

TEST_F(EventStore, ProcessesWritingAtOnceLoseNothing)
{
    const int kProcesses = 3, kEach = 60;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i)
                if (!dom->AgentEventWrite(fullEvent(1000 * (p + 1) + i, wxString::Format("p%d", p))))
                    ++failures;
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer reported a failed write";
    }
    auto events = dom->Events();
    ASSERT_EQ(events.size(), static_cast<size_t>(kProcesses * kEach));
    // Each writer's events are all there, in the order it wrote them.
    std::map<int, int> next;
    for (const auto& ev : events) {
        int p = ev.event / 1000 - 1;
        EXPECT_EQ(ev.event % 1000, next[p]++) << "process " << p;
    }
}

TEST_F(EventStore, FailedWriteIsLoggedNamingTheDatabase)
{
    // A folder where the database file should be: sqlite cannot open it. A link planted there
    // is refused the same way, and what it points to stays as it was.
    const std::string db = work + "/events.db", victim = work + "/victim";
    VkaTest::WriteFile(victim, "secret");
    for (bool link : {false, true}) {
        SCOPED_TRACE(link ? "link" : "folder");
        ::rmdir(db.c_str());
        ASSERT_EQ(link ? symlink(victim.c_str(), db.c_str()) : mkdir(db.c_str(), 0700), 0);
        VkaTest::LogCapture capture;
        EXPECT_FALSE(dom->AgentEventWrite(fullEvent(5101, "x")));
        ASSERT_EQ(capture.At(wxLOG_Error).size(), 1u);
        EXPECT_EQ(capture.At(wxLOG_Error)[0].find("Cannot write agent event 5101 to the event database '" + db + "': "), 0u)
            << capture.At(wxLOG_Error)[0];
        EXPECT_NE(capture.At(wxLOG_Error)[0].find("unable to open database file"), std::string::npos) << capture.At(wxLOG_Error)[0];
    }
    EXPECT_EQ(VkaTest::ReadFile(victim), "secret");
}

TEST_F(EventStore, NoWorkFolderIsAFailureNotACrash)
{
    dom->Unset("app.path.work");
    VkaTest::LogCapture capture;
    EXPECT_FALSE(dom->AgentEventWrite(fullEvent(5106, "x")));
    ASSERT_EQ(capture.At(wxLOG_Error).size(), 1u);
    EXPECT_NE(capture.At(wxLOG_Error)[0].find("app.path.work"), std::string::npos);
    EXPECT_TRUE(dom->Events().empty());
}
