#pragma once
// Conversions between Lua's narrow strings and the relay library's wide strings.

#include <cstddef>
#include <cwchar>

#include <lua.hpp>

/// A new wide string decoded from UTF-8 text of `length` bytes; free() it after the relay call.
/// ASCII is carried unchanged; each byte of an invalid or truncated sequence becomes U+FFFD.
/// A null text gives null, and so does a failed allocation.
wchar_t* NarrowToWide(const char* text, size_t length);

/// The string or number at `index` as a new wide string (see NarrowToWide); null for any other value.
wchar_t* LuaToWide(lua_State* L, int index);

/// Pushes a wide string as narrow text: characters below 128 are copied, every other one
/// becomes "?". A null string pushes nil.
void PushWideAsNarrow(lua_State* L, const wchar_t* text);
