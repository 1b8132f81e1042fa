// The report of an exception that escaped to the framework: one trace line naming it.
#include "agent_app.h"

#include "trace.h"

#include <wx/log.h>

#include <exception>
#include <typeinfo>

namespace {

const char kFunction[] = "OnUnhandledException";

// Identifies the exception being handled by rethrowing it into a ladder of known types.
wxString describeCurrentException()
{
    wxString description;
    try {
        throw;
    } catch (std::exception& e) {
        // Some runtimes mark local types with a leading '*'.
        const char* typeName = typeid(e).name();
        if (*typeName == '*')
            ++typeName;
        description.Printf("std::exception of type \"%s\", what() = \"%s\"", typeName, e.what());
    } catch (const char* text) {
        description.Printf("char * exception '%s'", text ? text : "");
    } catch (const wchar_t* text) {
        description.Printf("wchar_t * exception '%s'", text ? text : L"");
    } catch (int value) {
        description.Printf("int exception %d", value);
    } catch (unsigned int value) {
        description.Printf("unsigned int exception %u", value);
    } catch (long value) {
        description.Printf("long exception %ld", value);
    } catch (unsigned long value) {
        description.Printf("unsigned long exception %lu", value);
    } catch (long long value) {
        description.Printf("long long exception %lld", value);
    } catch (unsigned long long value) {
        description.Printf("unsigned long long exception %llu", value);
    } catch (...) {
        description = "<unknown exception>";
    }
    return description;
}

}  // namespace

void CAgentApp::OnUnhandledException()
{
    if (VkaCore::LogTraceIsEnabled(s_Trace))
        VkaCore::LogTrace(s_Trace, __FILE__, __LINE__, kFunction, "OnUnhandledException()");

    // A rethrow without an exception in flight would terminate the process.
    const wxString description =
        std::current_exception() ? describeCurrentException() : wxString("<unknown exception>");

    if (VkaCore::LogTraceIsEnabled(s_Trace)) {
        const wxString line =
            wxString::Format("OnUnhandledException() - caught unhandled %s, terminating app.", description);
        VkaCore::LogTrace(s_Trace, __FILE__, __LINE__, kFunction, line.wc_str());
    }
}

int CAgentApp::ReportScriptException()
{
    // Memory may be what ran out: a report that fails in its turn still ends the run.
    try {
        OnUnhandledException();
        wxLogError("The script thread ended with an unhandled %s; the agent stops.", describeCurrentException());
    } catch (...) {
    }
    return -1;
}
