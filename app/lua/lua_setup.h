#pragma once
// Creation of the application's Lua interpreter and the set-up of its state.

#include <wx/arrstr.h>
#include <wx/string.h>

struct lua_State;
class CAgentApp;

namespace VkaCore {
class CLuaInterpreter;
}

/// A new interpreter for the application, its state named "<appName>.lua".
VkaCore::CLuaInterpreter* NewAppInterpreter(const wxString& appName);

/// Runs CAgentApp::SetupLua on the application's state in a protected call. On failure reports
/// "Error setting up Lua:", the error and a newline (standard error and the log); returns the
/// Lua status.
int RunProtectedSetup(CAgentApp* app);

/// Sets the global `arg`: the words before the first "--" get negative keys, the application
/// name stands at key 0 in place of it, the words after it get 1, 2, ...; without a "--" every
/// word is negative and key 0 still holds the application name. May raise a Lua error when
/// the stack cannot hold the words.
void SetScriptArgTable(lua_State* L, const wxArrayString& argv, const wxString& appName);
