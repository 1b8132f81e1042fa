#pragma once
// Plugin-list expansion of Lua search path lists.

#include <wx/string.h>

/// Expands a ";"-separated path list for a ","-separated plugin list: every path element is
/// repeated once per plugin, with each "@" replaced by the plugin's name, element-major. An
/// empty plugin list returns path unchanged. Neither argument is changed.
wxString ExpandPathPlugins(const wxString& path, const wxString& plugins);
