// Process entry: the framework creates the application object and runs it.
#include "agent_app.h"

// Defined with the application object. Naming it here also makes the linker take that object
// (and with it the registration of the factory) out of the application's static library.
wxAppConsole* wxCreateApp();

int main(int argc, char** argv)
{
    // The framework's assertions are its own debugging aid: in a release build they would only
    // print call stacks on the agent's standard error, for input such as a damaged INI file.
    wxDISABLE_ASSERTS_IN_RELEASE_BUILD();
    wxApp::SetInitializerFunction(wxCreateApp);
    return wxEntry(argc, argv);
}
