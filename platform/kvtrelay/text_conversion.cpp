// Conversion between the wide strings of the C interface and the UTF-8 of the file system.
#include "text_conversion.h"

#include <cstdint>

namespace kvtrelay {

namespace {

void appendUtf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += "\xEF\xBF\xBD";
    }
}

}  // namespace

std::string WideToUtf8(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        int32_t c = static_cast<int32_t>(*text);
        if (c < 0 && c >= -128)
            out += static_cast<char>(c);  // a byte widened with its sign
        else
            appendUtf8(out, static_cast<uint32_t>(c));
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& text)
{
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        int more;
        if (b < 0x80) {
            c = b;
            more = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            more = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            more = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            more = 3;
        } else {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        bool ok = true;
        for (int k = 1; k <= more; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!ok) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += more + 1;
    }
    return out;
}

}  // namespace kvtrelay
