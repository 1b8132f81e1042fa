#pragma once
// The grammar of the archive list: its ";"-separated entries and the place each one names.

#include <wx/arrstr.h>
#include <wx/filename.h>
#include <wx/string.h>

/// Separates the entries of an archive list; the core library's archive searcher splits
/// "app.lua.zippath" on the same character (kZippathSeparator in platform/vka_core/archive_searcher.cpp).
const char kArchiveListSeparator[] = ";";

/// The entries of an archive list, in order. Empty pieces (";;", or ";" at either end) are
/// skipped; pieces are not trimmed.
wxArrayString SplitArchiveList(const wxString& list);

/// The file or pattern an entry names: environment references expanded, then, when that is
/// relative, made absolute against base with "." and ".." removed and a leading "~" expanded.
wxFileName ArchiveEntryLocation(const wxString& entry, const wxString& base);

/// name with "." and ".." removed and a leading "~" expanded, made absolute against base when it
/// is relative. Environment references are left alone.
wxFileName NormalisedAgainst(wxFileName name, const wxString& base);
