// Application traits: they make the core library's disk log the framework's log target.
#include "agent_app.h"

#include "log2disk.h"

wxLog* CAgentAppTraits::CreateLogTarget()
{
    return new VkaCore::CLog2Disk();
}

wxAppTraits* CAgentApp::CreateTraits()
{
    return new CAgentAppTraits();
}
