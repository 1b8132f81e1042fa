#pragma once
// Trace lines of this program's own module.

#include "agent_app.h"

#include "trace.h"

#include <wx/string.h>

/// Writes a trace line of the module CAgentApp::s_Trace from function; the text is formatted
/// only when tracing of that module is enabled.
#define VKA_TRACE_APPL(function, ...)                                                                                  \
    do {                                                                                                               \
        if (VkaCore::LogTraceIsEnabled(CAgentApp::s_Trace))                                                            \
            VkaCore::LogTrace(CAgentApp::s_Trace, __FILE__, __LINE__, function,                                        \
                              wxString::Format(__VA_ARGS__).wc_str());                                                 \
    } while (0)
