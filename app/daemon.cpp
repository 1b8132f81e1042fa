// Placeholder until daemon mode exists: a background start fails.
#include "agent_app.h"

#include <cstdio>

int CAgentApp::RunDaemon()
{
    std::fputs("vk_agent: daemon mode is not available in this build\n", stderr);
    return -1;
}
