#pragma once
// Plugin-list expansion of Lua search path lists.

#include <wx/string.h>

/// The longest expanded path list start-up accepts, in characters: far beyond any real search
/// path, and short enough that expanding a hostile or mistaken list stops at once.
constexpr size_t kMaxExpandedPath = 64 * 1024;

/// Expands a ";"-separated path list for a ","-separated plugin list: every path element is
/// repeated once per plugin, with each "@" replaced by the plugin's name, element-major. An
/// empty plugin list returns path unchanged. Neither argument is changed. Expansion stops
/// once the result is longer than kMaxExpandedPath, so a longer result means "too long".
wxString ExpandPathPlugins(const wxString& path, const wxString& plugins);
