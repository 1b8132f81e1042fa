// Placeholder until plugin packages are installed: nothing is done.
#include "agent_app.h"

void CAgentApp::InstallNewPlugins() {}
bool CAgentApp::CheckVKPVersion(const wxFileName&) { return false; }
bool CAgentApp::InstallPluginZipCB(const wxZipEntry*) { return false; }
bool CAgentApp::InstallPluginZipCB(void*, const wxZipEntry*, const wxString*) { return false; }
