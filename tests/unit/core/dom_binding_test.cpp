// The domain object's Lua members, with exact results and error texts, and the lifetime of
// the domain object under Lua's collector.

#include "agent_event.h"
#include "dom.h"
#include "service_test_support.h"
#include "dom_binding.h"
#include "log2disk.h"

#include <gtest/gtest.h>

#include <wx/log.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using VkaCore::CDom;

namespace {

const char* const kDomClass = "SLB.Dom";

std::string makeTempDir()
{
    char tmpl[] = "/tmp/vka_bind_XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "";
}

void pushDom(lua_State* L, CDom* dom)
{
    if (!SLB3::HasClass(L, kDomClass)) {
        SLB3::Class cls(L, kDomClass);
        SLB3::Wrapper<CDom>::Register(cls);
    }
    SLB3::PushRef(L, dom, kDomClass);
}

class DomBinding : public testing::Test {
protected:
    void SetUp() override
    {
        dom = CDom::New(nullptr, nullptr, nullptr, false);
        L = luaL_newstate();
        luaL_openlibs(L);
        pushDom(L, dom);
        lua_setglobal(L, "dom");
    }
    void TearDown() override
    {
        lua_close(L);
        dom->Dispose();
        if (!work.empty())
            std::system(("rm -rf " + work).c_str());
    }

    // The chunk's result as text, or "error: <message>" when it raised.
    std::string eval(const std::string& code) { return VkaTest::EvalLua(L, code); }

    CDom* dom = nullptr;
    lua_State* L = nullptr;
    std::string work;
};

struct Case {
    const char* code;
    const char* expected;
};

}  // namespace

TEST_F(DomBinding, MembersGiveExactResults)
{
    dom->Set("s", "text");
    dom->Set("t", true);
    dom->Set("f", false);
    dom->SetInt("i", -42);
    dom->SetInt("big", 1LL << 53);
    dom->Set("empty", "");

    const Case cases[] = {
        // Get: text of any type, nil when unset
        {"return dom:Get('s')", "text"},
        {"return dom:Get('t')", "true"},
        {"return dom:Get('f')", "false"},
        {"return dom:Get('i')", "-42"},
        {"return dom:Get('empty') == ''", "true"},
        {"return dom:Get('missing') == nil", "true"},
        {"return dom:Get('S') == nil", "true"},  // keys are case-sensitive
        // GetBool / GetInt: typed, nil for other types and unset keys
        {"return dom:GetBool('t')", "true"},
        {"return dom:GetBool('f')", "false"},
        {"return dom:GetBool('s') == nil and dom:GetBool('missing') == nil", "true"},
        {"return type(dom:GetInt('i')) .. dom:GetInt('i')", "number-42"},
        {"return string.format('%.0f', dom:GetInt('big'))", "9007199254740992"},
        {"return dom:GetInt('s') == nil and dom:GetInt('t') == nil", "true"},
        // Type
        {"return dom:Type('s') .. ',' .. dom:Type('t') .. ',' .. dom:Type('i')", "string,boolean,integer"},
        {"return dom:Type('missing') == nil", "true"},
        // Set stores by Lua type
        {"dom:Set('n', 7) return dom:Type('n') .. '=' .. dom:Get('n')", "integer=7"},
        {"dom:Set('n', -0) return dom:Get('n')", "0"},
        {"dom:Set('n', '7') return dom:Type('n') .. '=' .. dom:Get('n')", "string=7"},
        {"dom:Set('n', false) return dom:Type('n') .. '=' .. dom:Get('n')", "boolean=false"},
        {"dom:Set('n', 2^62) return dom:Get('n')", "4611686018427387904"},
        {"dom:Set('a\\0b', 'x\\0y') return #dom:Get('a\\0b')", "3"},
        // Unset
        {"dom:Set('gone', 1) dom:Unset('gone') return dom:Get('gone') == nil", "true"},
        {"return dom:Unset('never')", "false"},
        // Keys: sorted, by prefix
        {"dom:Set('p.b', 1) dom:Set('p.a', 2) dom:Set('pq', 3) return table.concat(dom:Keys('p.'), ',')", "p.a,p.b"},
        {"return #dom:Keys('nothing')", "0"},
        {"return (dom:Keys()[1]:gsub('\\0', '0'))", "a0b"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval(c.code), c.expected) << c.code;
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(DomBinding, BadArgumentsRaiseWithExactText)
{
    const Case cases[] = {
        {"dom:Set('k', {})", "error: t:1: bad argument #2 to 'Set' (string, boolean or integer expected, got table)"},
        {"dom:Set('k', nil)", "error: t:1: bad argument #2 to 'Set' (string, boolean or integer expected, got nil)"},
        {"dom:Set('k')", "error: t:1: bad argument #2 to 'Set' (string, boolean or integer expected, got no value)"},
        {"dom:Set('k', print)",
         "error: t:1: bad argument #2 to 'Set' (string, boolean or integer expected, got function)"},
        {"dom:Set('k', 1.5)", "error: t:1: bad argument #2 to 'Set' (number has no integer representation)"},
        {"dom:Set('k', 2^63)", "error: t:1: bad argument #2 to 'Set' (number has no integer representation)"},
        {"dom:Set('k', 0/0)", "error: t:1: bad argument #2 to 'Set' (number has no integer representation)"},
        {"dom:Set({}, 1)", "error: t:1: bad argument #1 to 'Set' (string expected, got table)"},
        {"dom:Get()", "error: t:1: bad argument #1 to 'Get' (string expected, got no value)"},
        {"dom:Log('loud', 'x')", "error: t:1: bad argument #1 to 'Log' (invalid option 'loud')"},
        {"dom:Log('error')", "error: t:1: bad argument #2 to 'Log' (string expected, got no value)"},
        {"dom.Get(5, 'k')", "error: t:1: bad argument #1 to 'Get' (SLB.Dom expected, got number)"},
        {"dom.Keys(io.stdout)", "error: t:1: bad argument #1 to 'Keys' (SLB.Dom expected, got userdata)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(eval(c.code), c.expected) << c.code;
    EXPECT_EQ(dom->TypeOf("k"), CDom::Type::None);  // nothing was stored by a failed Set
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(DomBinding, LogGoesToTheFrameworkLogVerbatim)
{
    VkaTest::LogCapture capture;
    EXPECT_EQ(eval("dom:Log('error', 'e 100%s') dom:Log('warning', 'w %d') dom:Log('message', 'm') "
                   "dom:Log('verbose', 'v') return 0"),
              "0");
    ASSERT_EQ(capture.records.size(), 4u);
    EXPECT_EQ(capture.records[0], (VkaTest::LoggedMessage{wxLOG_Error, "e 100%s"}));
    EXPECT_EQ(capture.records[1], (VkaTest::LoggedMessage{wxLOG_Warning, "w %d"}));
    EXPECT_EQ(capture.records[2], (VkaTest::LoggedMessage{wxLOG_Message, "m"}));
    EXPECT_EQ(capture.records[3], (VkaTest::LoggedMessage{wxLOG_Info, "v"}));
}

TEST_F(DomBinding, EventsListsWrittenEventsOldestFirst)
{
    work = makeTempDir();
    dom->Set("app.path.work", work);
    EXPECT_EQ(eval("return #dom:Events()"), "0");
    for (int n : {5101, 5102}) {
        VkaCore::CAgentEvent ev;
        ev.m_event = n;
        ev.m_severity = VkaCore::CAgentEvent::ToSeverity(n == 5101 ? 5 : 2);
        ev.m_text = wxString::Format("p|b|/x/%d.vkp", n);
        ev.m_millis = 1700000000123LL;
        ev.m_seconds = 1700000000;
        for (const char* a : {"event", "severity", "text", "millis", "seconds"})
            ev.SetAttributeNull(a, false);
        ASSERT_TRUE(dom->AgentEventWrite(ev));
    }
    EXPECT_EQ(
        eval("local out = {} for _, e in ipairs(dom:Events()) do "
             "out[#out + 1] = string.format('%d/%d/%d/%.0f/%s', e.event, e.severity, e.seconds, e.millis, e.text) "
             "end return table.concat(out, ' ')"),
        "5101/0/1700000000/1700000000123/p|b|/x/5101.vkp 5102/1/1700000000/1700000000123/p|b|/x/5102.vkp");
}

TEST_F(DomBinding, TraceWritesOnlyForEnabledModules)
{
    work = makeTempDir();
    ASSERT_EQ(CDom::Primary(), dom) << "tracing reads the primary domain";
    dom->Set("app.path.work", work);
    dom->Set("app.name", "bindtest");
    dom->Set("app.trace", "LuaMod");
    EXPECT_EQ(eval("dom:Trace('LuaMod', 'traced text')\ndom:Trace('Other', 'hidden text') return 0"), "0");
    std::ifstream log(work + "/bindtest.log");
    std::stringstream content;
    content << log.rdbuf();
    EXPECT_NE(content.str().find("traced text"), std::string::npos) << content.str();
    EXPECT_NE(content.str().find("LuaMod"), std::string::npos) << content.str();
    EXPECT_EQ(content.str().find("hidden text"), std::string::npos) << content.str();
}

TEST_F(DomBinding, SecondPushReusesTheClassAndBothNamesAreOneValue)
{
    luaL_getmetatable(L, kDomClass);
    const void* mt = lua_topointer(L, -1);
    lua_pop(L, 1);
    pushDom(L, dom);
    lua_setglobal(L, "dom2");
    luaL_getmetatable(L, kDomClass);
    EXPECT_EQ(lua_topointer(L, -1), mt);
    lua_pop(L, 1);
    EXPECT_EQ(eval("dom:Set('shared', 'yes') return dom2:Get('shared') .. tostring(getmetatable(dom).__class)"),
              "yesSLB.Dom");
    pushDom(L, nullptr);
    EXPECT_TRUE(lua_isnil(L, -1));
    lua_pop(L, 1);
}

TEST(DomBindingLifetime, CollectorAndCloseNeverDisposeTheDomain)
{
    CDom* dom = CDom::New(nullptr, nullptr, nullptr, false);
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    pushDom(L, dom);
    lua_setglobal(L, "dom");
    ASSERT_EQ(luaL_dostring(L, "for i = 1, 100 do local d = dom end dom = nil collectgarbage('collect')"), LUA_OK);
    lua_gc(L, LUA_GCCOLLECT, 0);
    lua_close(L);
    // Still alive and usable: a deleted object would be caught by the sanitizer build too.
    dom->Set("after", "close");
    EXPECT_EQ(dom->Get("after"), "close");
    dom->Dispose();
}
