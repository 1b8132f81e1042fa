// The Lua interpreter object: one state, module paths, and the chunk runner.

#include "lua_interpreter.h"
#include "utf8_text.h"

#include <lua.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace VkaCore {

namespace {

// Registry slot holding the output stream of the chunk that is running (a light userdata;
// absent or null means standard output). print reads it on every call, so a chunk that keeps
// a reference to print still writes where the current run says.
char kOutputKey;

wxOutputStream* currentOutput(lua_State* L)
{
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kOutputKey);
    wxOutputStream* out = static_cast<wxOutputStream*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return out;
}

void setCurrentOutput(lua_State* L, wxOutputStream* out)
{
    lua_pushlightuserdata(L, out);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kOutputKey);
}

void writeOut(wxOutputStream* out, const char* s, size_t len)
{
    if (out)
        out->Write(s, len);
    else
        fwrite(s, 1, len, stdout);
}

// Lua's own print, writing to the current output: tostring() of each argument, separated
// by tabs, then a newline.
int luaPrint(lua_State* L)
{
    wxOutputStream* out = currentOutput(L);
    int n = lua_gettop(L);
    lua_getglobal(L, "tostring");
    for (int i = 1; i <= n; i++) {
        lua_pushvalue(L, -1); /* tostring */
        lua_pushvalue(L, i);  /* value to print */
        lua_call(L, 1, 1);
        size_t len;
        const char* s = lua_tolstring(L, -1, &len);
        if (s == nullptr)
            return luaL_error(L, "'tostring' must return a string to 'print'");
        if (i > 1)
            writeOut(out, "\t", 1);
        writeOut(out, s, len);
        lua_pop(L, 1); /* pop result */
    }
    writeOut(out, "\n", 1);
    if (!out)
        fflush(stdout);
    return 0;
}

// Message handler: the error message followed by the stack traceback of where it was raised.
int traceback(lua_State* L)
{
    const char* msg = lua_tostring(L, 1);
    if (msg == nullptr) { /* is error object not a string? */
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
            return 1; /* that is the message */
        msg = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, msg, 1); /* append a standard traceback */
    return 1;
}

// Joins non-empty parts with ';'; a trailing ';' on a part would only add an empty template.
std::string joinPath(const std::vector<std::string>& parts)
{
    std::string joined;
    for (std::string part : parts) {
        while (!part.empty() && part.back() == ';')
            part.pop_back();
        if (part.empty())
            continue;
        if (!joined.empty())
            joined += ';';
        joined += part;
    }
    return joined;
}

}  // namespace

CLuaInterpreter::CLuaInterpreter(bool, const wxString& name, bool openLibs) : m_name(name)
{
    m_L = luaL_newstate();
    if (!m_L)
        return;
    if (openLibs)
        luaL_openlibs(m_L);
    lua_pushcfunction(m_L, luaPrint);
    lua_setglobal(m_L, "print");
}

CLuaInterpreter::~CLuaInterpreter()
{
    if (m_L)
        lua_close(m_L);
}

void CLuaInterpreter::SetPackagePaths(const std::string& bin, const std::string& path, const std::string& cpath)
{
    lua_State* L = m_L;
    lua_getglobal(L, "package");  // package
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        return;
    }
    std::string base = bin;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    // Built from Lua's compiled-in defaults each time, so calling this again replaces the
    // paths instead of growing them.
    std::string luaPath = joinPath({path, base.empty() ? "" : base + "/lua/?.lua",
                                    base.empty() ? "" : base + "/lua/?/init.lua", LUA_PATH_DEFAULT});
    std::string luaCpath = joinPath({cpath, base.empty() ? "" : base + "/lib/?.so", LUA_CPATH_DEFAULT});
    lua_pushlstring(L, luaPath.data(), luaPath.size());
    lua_setfield(L, -2, "path");
    lua_pushlstring(L, luaCpath.data(), luaCpath.size());
    lua_setfield(L, -2, "cpath");
    lua_pop(L, 1);  // package
}

int CLuaInterpreter::RunScript(wxInputStream& in, int nargs, int nresults, const wxString& chunkName,
                               wxOutputStream* out)
{
    lua_State* L = m_L;
    m_errorInfo.clear();
    if (nargs < 0 || lua_gettop(L) < nargs) {
        m_errorInfo = "RunScript: fewer values on the stack than the arguments asked for";
        return LUA_ERRERR;
    }
    int base = lua_gettop(L) - nargs;  // the stack height the caller had before its arguments

    std::string chunk;
    char buffer[16384];
    while (!in.Eof()) {
        in.Read(buffer, sizeof buffer);
        size_t got = in.LastRead();
        if (got == 0)
            break;
        chunk.append(buffer, got);
    }
    // Run nothing that was only partly read: a truncated chunk may still compile.
    wxStreamError streamError = in.GetLastError();
    if (streamError != wxSTREAM_NO_ERROR && streamError != wxSTREAM_EOF) {
        m_errorInfo = wxString::Format("cannot read chunk '%s'", chunkName);
        lua_settop(L, base);
        return LUA_ERRFILE;
    }

    // "=name" makes Lua show the name as it stands in messages and tracebacks ("name:3: ...");
    // a name that already has Lua's '@' (file) or '=' prefix is passed on unchanged.
    std::string name = ToUtf8(chunkName);
    if (name.empty() || (name[0] != '@' && name[0] != '='))
        name.insert(0, "=");

    if (!lua_checkstack(L, 3)) {
        m_errorInfo = "RunScript: Lua stack overflow";
        lua_settop(L, base);
        return LUA_ERRMEM;
    }
    int status = luaL_loadbuffer(L, chunk.data(), chunk.size(), name.c_str());  // args chunk
    if (status != LUA_OK) {
        // A chunk that does not compile has no stack of its own; the traceback shows where
        // it was run from.
        luaL_traceback(L, L, lua_tostring(L, -1), 0);
        size_t len;
        const char* msg = lua_tolstring(L, -1, &len);
        m_errorInfo = FromUtf8OrBytes(msg, len);
        lua_settop(L, base);
        return status;
    }
    lua_insert(L, base + 1);  // chunk args
    lua_pushcfunction(L, traceback);
    lua_insert(L, base + 1);  // handler chunk args

    wxOutputStream* previous = currentOutput(L);
    setCurrentOutput(L, out);
    status = lua_pcall(L, nargs, nresults, base + 1);
    setCurrentOutput(L, previous);  // nested runs write where their caller did

    if (status != LUA_OK) {
        size_t len = 0;
        const char* msg = lua_tolstring(L, -1, &len);
        m_errorInfo = msg ? FromUtf8OrBytes(msg, len) : wxString("(error object is not a string)");
        lua_settop(L, base);
        return status;
    }
    lua_remove(L, base + 1);  // results
    return LUA_OK;
}

}  // namespace VkaCore
