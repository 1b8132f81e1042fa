#pragma once
// The Lua interpreter object.

#include <wx/stream.h>
#include <wx/string.h>

#include <string>

struct lua_State;

namespace VkaCore {

/// Owns one Lua 5.2 state with the standard libraries.
class CLuaInterpreter {
public:
    /// shared is reserved (false); name names the state; openLibs opens the standard libraries.
    CLuaInterpreter(bool shared, const wxString& name, bool openLibs);
    virtual ~CLuaInterpreter();
    CLuaInterpreter(const CLuaInterpreter&) = delete;
    CLuaInterpreter& operator=(const CLuaInterpreter&) = delete;

    /// The state; the same on every call.
    lua_State* L() const { return m_L; }
    const wxString& GetName() const { return m_name; }

    /// package.path = path (when not empty); <bin>/lua/?.lua;<bin>/lua/?/init.lua; the defaults.
    /// package.cpath = cpath (when not empty); <bin>/lib/?.so; the defaults.
    void SetPackagePaths(const std::string& bin, const std::string& path, const std::string& cpath);

    /// Reads a chunk from in and runs it as chunkName with nargs arguments from the stack and
    /// nresults results, print writing to out (standard output when null). 0 on success with the
    /// results on the stack; otherwise the non-zero Lua status, the stack as before, and
    /// GetErrorInfo() describing the failure with a traceback.
    /// The chunk is named "=" + chunkName, so messages read "<chunkName>:<line>: ..."; a name
    /// that already begins with '@' or '=' is used as it stands. The arguments are consumed
    /// on failure too.
    int RunScript(wxInputStream& in, int nargs, int nresults, const wxString& chunkName, wxOutputStream* out);
    /// The message (with traceback) of the last RunScript when it failed; empty after a success.
    wxString GetErrorInfo() const { return m_errorInfo; }

private:
    lua_State* m_L = nullptr;
    wxString m_name;
    wxString m_errorInfo;
};

}  // namespace VkaCore
