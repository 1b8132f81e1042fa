// The one path every piece of Lua takes: a chunk from a stream, run by the interpreter, its
// single result turned into the host's integer status.
#include "agent_app.h"
#include "lua/stdout_stream.h"

#include "lua_interpreter.h"
#include "trace.h"

#include <wx/sstream.h>

#include <lua.hpp>

#include <cstdio>

namespace {

// Calls a method of the application module when it is a function; anything else counts as
// success. The name is used twice, hence the positional argument.
const wchar_t kMethodCall[] =
    L"if type(vkaAppModule.%1$s) == 'function' then return vkaAppModule.%1$s(); else return 0; end;";

void trace(const char* function, int line, const wxString& text)
{
    VkaCore::LogTrace(CAgentApp::s_Trace, __FILE__, line, function, text.wc_str());
}

} // namespace

int CAgentApp::RunChunk(wxInputStream& in, wxOutputStream& out, const wxString& name)
{
    if (VkaCore::LogTraceIsEnabled(s_Trace))
        trace("RunChunk", __LINE__, wxString::Format("Running chunk '%s'", name));

    int result = m_lua->RunScript(in, 0, 1, name, &out);
    if (result == 0) {
        lua_State* L = m_lua->L();
        // Numbers and numeric strings convert; nil, booleans, tables and the rest give 0.
        result = static_cast<int>(lua_tointegerx(L, -1, nullptr));
        lua_pop(L, 1);  /* the chunk's result */
    }

    if (VkaCore::LogTraceIsEnabled(s_Trace))
        trace("RunChunk", __LINE__, wxString::Format("Chunk produced a return value of %d", result));
    return result;
}

int CAgentApp::RunCodeSnippet(const wxString& code)
{
    CStdoutStream out;
    wxStringInputStream in(code);
    const int result = RunChunk(in, out.Stream(), GetAppName());
    out.Stream().Sync();
    if (result != 0) {
        const wxString text = m_lua->GetErrorInfo() + "\n";
        std::fputs(text.utf8_str(), stderr);
    }
    return result;
}

int CAgentApp::RunAppMethod(const wchar_t* name)
{
    if (VkaCore::LogTraceIsEnabled(s_Trace))
        trace("RunAppMethod", __LINE__, wxString::Format("Running app's Lua method '%s'", name));
    return RunCodeSnippet(wxString::Format(kMethodCall, name));
}

int CAgentApp::RunAppMain()
{
    return RunAppMethod(L"main");
}

int CAgentApp::RunAppShutdown()
{
    return RunAppMethod(L"shutdown");
}
