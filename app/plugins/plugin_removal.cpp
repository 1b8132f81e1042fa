// Placeholder until removal packages are applied: nothing is done.
#include "agent_app.h"

void CAgentApp::UninstallOldPlugins() {}
bool CAgentApp::UninstallPluginZipCB(const wxZipEntry*, const wxString*) { return false; }
bool CAgentApp::UninstallPluginZipCB(void*, const wxZipEntry*, const wxString*) { return false; }
