#pragma once
// Running a program without a shell.

#include <wx/arrstr.h>
#include <wx/string.h>

namespace VkaCore {

/// Runs program with args (no shell), collecting standard output and error into out.
/// True when it ran and exited 0; otherwise false with err saying what happened
/// ("not found", "exit status n", "killed by signal s").
bool Execute(const wxString& program, const wxArrayString& args, wxString& out, int& exitCode, wxString& err);

}  // namespace VkaCore
