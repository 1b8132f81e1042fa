#pragma once
/// Conversion between the wide strings of the C interface and the UTF-8 of the file system.

#include <string>
#include <wchar.h>

namespace kvtrelay {

/// Converts a wide string to UTF-8 for the file system. Characters in the range -128..-1 are
/// bytes that a caller widened as signed chars; they are carried back as those bytes, so a
/// UTF-8 path widened byte by byte reaches the file system unchanged.
std::string WideToUtf8(const wchar_t* text);

/// Decodes UTF-8 into a wide string; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

}  // namespace kvtrelay
