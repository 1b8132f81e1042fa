#pragma once
// Text conversions of the core library between the framework's strings and bytes.

#include <wx/string.h>

#include <string>

namespace VkaCore {

/// Decodes UTF-8; bytes that are not UTF-8 (written by a non-Unicode tool) would decode to
/// nothing, so they are then kept byte for byte instead of losing the text.
inline wxString FromUtf8OrBytes(const char* s, size_t len)
{
    wxString text = wxString::FromUTF8(s, len);
    if (text.empty() && len > 0)
        text = wxString::From8BitData(s, len);
    return text;
}

inline wxString FromUtf8OrBytes(const std::string& s)
{
    return FromUtf8OrBytes(s.data(), s.size());
}

/// The string as UTF-8 bytes.
inline std::string ToUtf8(const wxString& s)
{
    wxScopedCharBuffer buf = s.utf8_str();
    return std::string(buf.data(), buf.length());
}

/// The string as the file system's bytes, for a path handed to a system call.
inline std::string ToPathBytes(const wxString& s)
{
    const wxScopedCharBuffer buf = s.fn_str();
    return buf.data() ? std::string(buf.data(), buf.length()) : std::string();
}

}  // namespace VkaCore
