#pragma once
// The chunk that hands a unit-test selection to the Lua test runner.

#include <wx/string.h>

/// A Lua double-quoted string literal holding text exactly: a quote, a backslash and control
/// characters are escaped, everything else is copied.
wxString LuaStringLiteral(const wxString& text);

/// The chunk that requires the test runner and calls it with the selection.
wxString BuildUnitTestChunk(const wxString& selection);
