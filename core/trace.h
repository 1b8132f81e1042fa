#pragma once
// Diagnostic tracing by module name.

namespace VkaCore {

/// True when module is named in "app.trace" or "app.trace+" of the primary domain
/// (comma-separated, exact names; "*" enables every module). Allocates nothing.
bool LogTraceIsEnabled(const char* module);
/// Writes a TRACE line with module, file:line, function and text to the disk log.
void LogTrace(const char* module, const char* file, int line, const char* function, const wchar_t* text);
void LogTrace(const char* module, const char* file, int line, const char* function, const char* text);

}  // namespace VkaCore
