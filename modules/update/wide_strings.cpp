// Conversions between Lua's narrow strings and the relay library's wide strings.
#include "wide_strings.h"

#include <cstdint>
#include <cstdlib>

namespace {

const wchar_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence at text[0..avail), or 0 when it is not one. Overlong forms,
// surrogates and values above U+10FFFF are invalid, so that no path reaches the relay in a form
// that a second decoder would read differently.
size_t decodeOne(const unsigned char* p, size_t avail, uint32_t& code)
{
    unsigned char b = p[0];
    size_t need;
    uint32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2, min = 0x80, code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3, min = 0x800, code = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4, min = 0x10000, code = b & 0x07;
    } else {
        return 0;
    }
    if (avail < need)
        return 0;
    for (size_t i = 1; i < need; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return need;
}

}  // namespace

wchar_t* NarrowToWide(const char* text, size_t length)
{
    if (!text)
        return nullptr;
    // Decoding never yields more characters than there are bytes.
    auto* out = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (!out)
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t n = 0;
    for (size_t i = 0; i < length;) {
        if (p[i] < 0x80) {
            out[n++] = static_cast<wchar_t>(p[i++]);
            continue;
        }
        uint32_t code = 0;
        size_t used = decodeOne(p + i, length - i, code);
        if (used == 0) {
            out[n++] = kReplacement;
            ++i;
        } else {
            out[n++] = static_cast<wchar_t>(code);
            i += used;
        }
    }
    out[n] = 0;
    return out;
}

wchar_t* LuaToWide(lua_State* L, int index)
{
    if (!lua_isstring(L, index))
        return nullptr;
    size_t length = 0;
    const char* text = lua_tolstring(L, index, &length);
    return NarrowToWide(text, length);
}

void PushWideAsNarrow(lua_State* L, const wchar_t* text)
{
    if (!text) {
        lua_pushnil(L);
        return;
    }
    luaL_Buffer b;  // Lua-owned, so nothing leaks if pushing runs out of memory
    luaL_buffinit(L, &b);
    for (const wchar_t* w = text; *w; ++w) {
        // Compared unsigned: a negative wchar_t is not a character below 128.
        auto c = static_cast<uint32_t>(*w);
        luaL_addchar(&b, c < 128 ? static_cast<char>(c) : '?');
    }
    luaL_pushresult(&b);
}
