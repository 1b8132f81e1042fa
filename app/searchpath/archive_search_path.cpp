// Placeholder until the archive search path is built: no archives are listed.
#include "agent_app.h"

void CAgentApp::ExpandZippath() {}
