// The one path every piece of Lua takes: a chunk from a stream, run by the interpreter, its
// single result turned into the host's integer status.
#include "agent_app.h"
#include "lua/stdout_stream.h"

#include "log2disk.h"
#include "lua_interpreter.h"
#include "trace.h"

#include <wx/log.h>
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

}  // namespace

int CAgentApp::RunChunk(wxInputStream& in, wxOutputStream& out, const wxString& name)
{
    if (VkaCore::LogTraceIsEnabled(s_Trace))
        trace("RunChunk", __LINE__, wxString::Format("Running chunk '%s'", name));

    int result = m_lua->RunScript(in, 0, 1, name, &out);
    m_chunkFailed = result != 0;
    if (result == 0) {
        lua_State* L = m_lua->L();
        // Numbers and numeric strings convert; nil, booleans, tables and the rest give 0.
        result = static_cast<int>(lua_tointegerx(L, -1, nullptr));
        lua_pop(L, 1); /* the chunk's result */
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
    ReportChunkResult(result);
    return result;
}

void CAgentApp::ReportChunkResult(int result)
{
    if (result == 0)
        return;
    const wxString info = m_lua->GetErrorInfo();
    const wxScopedCharBuffer bytes = info.utf8_str();  // borrows from info
    const std::string text = std::string(bytes.data(), bytes.length()) + "\n";
    // A method that returned a non-zero number has no error text: the empty line it has
    // always printed stays, but it is not an error to log.
    if (m_chunkFailed)
        ReportLuaError(text);
    else
        std::fputs(text.c_str(), stderr);
}

void CAgentApp::ReportLuaError(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    // Standard error is /dev/null in a daemon: the log is where an operator finds the text.
    if (!wxLog::IsLevelEnabled(wxLOG_Error, wxLOG_COMPONENT))
        return;
    wxString message = wxString::FromUTF8(text.data(), text.size());
    if (message.empty() && !text.empty())
        message = wxString::From8BitData(text.data(), text.size());
    wxLogger(wxLOG_Error, __FILE__, __LINE__, __WXFUNCTION__, wxLOG_COMPONENT)
        .Store(VkaCore::kLogKeyShownOnStderr, static_cast<wxUIntPtr>(1))
        .Log("%s", message);
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
