// Placeholder until extensions are version-checked: none is admitted.
#include "agent_app.h"

bool CAgentApp::ExtensionVersionIsOK(const wxString&) { return false; }
