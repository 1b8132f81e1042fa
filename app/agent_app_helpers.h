#pragma once
// Small pure helpers of the application object, kept apart so that tests can call them.

#include <wx/datetime.h>
#include <wx/filename.h>
#include <wx/string.h>

#include <string>

/// The vendor's name: the framework's vendor name, and what marks the vendor folder.
constexpr char kVendorName[] = "Corvane";

/// The vendor folder for an executable directory: its parent when the parent's path contains
/// the vendor name and the directory has more than one component, else the directory itself.
wxString VendorFolder(const wxFileName& exeDir);

/// path in the system's multibyte encoding, for calls that take a file name; empty when it
/// cannot be converted.
std::string PathBytes(const wxString& path);

/// A run time as "<days>d HH:MM:SS.mmm", the hours being the remainder below a day.
wxString FormatRunTime(const wxTimeSpan& span);
