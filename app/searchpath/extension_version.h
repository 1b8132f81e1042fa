#pragma once
// The decision whether an extension archive may join the Lua search path.

#include <wx/string.h>

/// True when the companion file <extensionFile>.version states the core version (major, minor
/// and patch; the build number is not compared). Every refusal is explained in one warning.
bool ExtensionVersionMatchesCore(const wxString& extensionFile);
