#pragma once
/// Text and path helpers shared by the relay: wide/UTF-8 conversion and folder creation.

#include <string>
#include <wchar.h>

namespace kvtrelay {

/// Converts a wide string to UTF-8 for the file system. Characters in the range -128..-1 are
/// bytes that a caller widened as signed chars; they are carried back as those bytes, so a
/// UTF-8 path widened byte by byte reaches the file system unchanged.
std::string WideToUtf8(const wchar_t* text);

/// Decodes UTF-8 into a wide string; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(const std::string& text);

/// Creates a folder and its missing parents. Returns 0 or the errno of the failing step
/// (ENOTDIR when a component exists and is not a folder).
int MakeFolders(const std::string& path);

/// True when path names an existing folder.
bool IsFolder(const std::string& path);

/// Joins two path parts with exactly one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace kvtrelay
