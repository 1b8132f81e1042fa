// Unit-test mode: the selection goes to the Lua test runner in place of the application's main.
#include "agent_app.h"
#include "lua/stdout_stream.h"
#include "lua/unit_test_mode.h"

#include "lua_interpreter.h"

#include <wx/sstream.h>

#include <unistd.h>

#include <cstdio>

namespace {

// Only records SIGALRM (see the signal dispositions): a bound on blocking calls, not on the run.
const unsigned int kTestAlarmSeconds = 600;

}  // namespace

wxString LuaStringLiteral(const wxString& text)
{
    wxString literal = "\"";
    for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
        const wxUniChar c = *it;
        const wxUint32 code = c.GetValue();
        if (c == '"')
            literal += "\\\"";
        else if (c == '\\')
            literal += "\\\\";
        else if (c == '\n')
            literal += "\\n";
        else if (c == '\r')
            literal += "\\r";
        else if (code < 0x20 || code == 0x7f)
            literal += wxString::Format("\\%03u",
                                        static_cast<unsigned>(code));  // three digits: never swallows a following digit
        else
            literal += c;
    }
    literal += "\"";
    return literal;
}

wxString BuildUnitTestChunk(const wxString& selection)
{
    // The selection is a file name or pattern from the command line; as a proper literal a
    // quote or line break in it reaches the runner unchanged instead of breaking the chunk.
    return "vkaunit = require('tests.vkaunit'); return vkaunit(" + LuaStringLiteral(selection) + ");";
}

int CAgentApp::RunUnitTests()
{
    // Said on the command line already; like a pattern that matches nothing, the run fails.
    if (m_unitTestsMissing)
        return 1;
    if (m_unitTests.empty())
        return 0;

    CStdoutStream out;
    alarm(kTestAlarmSeconds);

    wxStringInputStream in(BuildUnitTestChunk(m_unitTests));
    const int result = RunChunk(in, out.Stream(), "tests.vkaunit");
    out.Stream().Sync();
    ReportChunkResult(result);
    return result;
}
