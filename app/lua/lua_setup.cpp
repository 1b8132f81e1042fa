// Set-up of the application's Lua state: version check, package paths, the domain object as
// dom0/dom, its module loader and the script-argument table.
#include "agent_app.h"
#include "lua/lua_setup.h"

#include "dom.h"
#include "dom_binding.h"
#include "lua_interpreter.h"

#include <SLB3/slb3.h>
#include <lua.hpp>

#include <cstdio>
#include <string>

namespace {

const char kDomClass[] = "SLB.Dom";

// Pushes the domain object by reference: Lua never deletes it. The class is built the first
// time a domain object enters this state.
void pushDom(lua_State* L, VkaCore::CDom* dom)
{
    if (dom && !SLB3::HasClass(L, kDomClass)) {
        SLB3::Class cls(L, kDomClass);
        SLB3::Wrapper<VkaCore::CDom>::Register(cls);
        cls.close();
    }
    SLB3::PushRef(L, dom, kDomClass);  // nil for a null object
}

}  // namespace

lua_State* CAgentApp::L() const
{
    return m_lua ? m_lua->L() : nullptr;
}

VkaCore::CLuaInterpreter* NewAppInterpreter(const wxString& appName)
{
    return new VkaCore::CLuaInterpreter(false, wxString::Format(L"%s.lua", appName), true);
}

int RunProtectedSetup(CAgentApp* app)
{
    lua_State* L = app->L();
    lua_pushlightuserdata(L, app);
    lua_pushcclosure(L, &CAgentApp::SetupLua, 1); /* the set-up, the application as upvalue */
    const int status = lua_pcall(L, 0, 0, 0);
    if (status != 0) {
        const char* message = lua_tostring(L, -1);
        std::string text = "Error setting up Lua:\n";
        text += message ? message : "(error object is not a string)";
        text += "\n";
        lua_pop(L, 1); /* the error */
        CAgentApp::ReportLuaError(text);
    }
    return status;
}

void SetScriptArgTable(lua_State* L, const wxArrayString& argv, const wxString& appName)
{
    const int argc = static_cast<int>(argv.size());
    // Checked before any string is made: the error unwinds without running destructors.
    luaL_checkstack(L, argc, "too many arguments to script");

    int script = argc;  // index of the first "--", argc when there is none
    for (int i = 0; i < argc; ++i) {
        if (argv[i] == "--") {
            script = i;
            break;
        }
    }

    lua_createtable(L, argc, 0);
    for (int i = 0; i < argc; ++i) {
        const wxString& word = (i == script) ? appName : argv[i];
        lua_pushstring(L, word.utf8_str());
        lua_rawseti(L, -2, i - script);
    }
    if (script == argc) {
        lua_pushstring(L, appName.utf8_str());
        lua_rawseti(L, -2, 0);
    }
    lua_setglobal(L, "arg");
}

int CAgentApp::SetupLua(lua_State* L)
{
    CAgentApp* pThis = static_cast<CAgentApp*>(lua_touserdata(L, lua_upvalueindex(1)));
    wxASSERT(pThis && (L == pThis->L()));
    if (!pThis || L != pThis->L())
        return luaL_error(L, "Lua set-up called without its application state");
    return pThis->SetupLua();
}

int CAgentApp::SetupLua()
{
    lua_State* L = m_lua->L();
    luaL_checkversion(L);

    {
        // Scoped so that no string is alive if a later step raises a Lua error.
        const std::string cpath = m_dom ? m_dom->Get("app.lua.cpath") : std::string();
        const std::string path = m_dom ? m_dom->Get("app.lua.path") : std::string();
        const std::string bin = m_dom ? m_dom->Get("app.path.bin") : std::string();
        m_lua->SetPackagePaths(bin, path, cpath);
    }

    pushDom(L, m_dom);
    lua_pushvalue(L, -1); /* one value, two names */
    lua_setglobal(L, "dom0");
    lua_setglobal(L, "dom");

    if (m_dom)
        m_dom->RegisterLoader(L);

    SetScriptArgTable(L, argv.GetArguments(), GetAppName());
    return 0;
}
