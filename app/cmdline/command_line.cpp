// The command-line grammar of the host. The order of the entries is the order of the usage text.

#include "agent_app.h"
#include "cmdline/option_names.h"

#include <wx/cmdline.h>

void CAgentApp::OnInitCmdLine(wxCmdLineParser& parser)
{
    // The framework's own entries (help, verbose) come first and keep working.
    wxAppConsoleBase::OnInitCmdLine(parser);

    using namespace VkaCmdLine;
    parser.AddOption("a", kAppName,
                     "the name of this application (default is based on the name of the executable file).");
    parser.AddSwitch("b", kBackground, "run as a Windows service or Unix daemon process.");
    parser.AddOption("c", kLuaCPath, "add the supplied value at the front of the search path for Lua C libraries.");
    parser.AddOption("d", kDomainVar, "sets domain variable; name=value format.");
    parser.AddOption("e", kExtDir,
                     "extension folder. All *.vke files from this folder are added to the Lua search path.");
    parser.AddSwitch("i", kInstallPlugins, "install all *.vkp files found in the same folder as the executable.");
    parser.AddOption("l", kLuaPath, "add the supplied value at the front of the search path for Lua libraries.");
    parser.AddOption("p", kPlugins, "comma delimited list of plugins to enable.");
    parser.AddOption("t", kTrace, "enable tracing for the specified set of module names, separated by commas.");
    parser.AddOption("w", kWorkDir, "working directory where this instance's data files are stored.");
    parser.AddOption("u", kUnitTest, "runs the Lua script (possibly wildcarded) under LuaUnit.");
    parser.AddSwitch("U", kTest, wxEmptyString);
    parser.AddOption("z", kZipPath,
                     "list of ZIP archives of Lua code (possibly wildcarded), separated by semi-colons.");
    // Lets the words after "--" through the parser; the Lua set-up turns them into `arg`.
    parser.AddParam("-- script-param [script-param ...]", wxCMD_LINE_VAL_STRING,
                    wxCMD_LINE_PARAM_OPTIONAL | wxCMD_LINE_PARAM_MULTIPLE);
}
