// The start-up benchmark's peer: a console program on the same framework that takes only the
// steps the agent cannot skip (the locale with the system's default language, OpenSSL and its
// random generator, set up by the same code) and then ends.
#include "openssl_startup.h"

#include <wx/app.h>
#include <wx/intl.h>
#include <wx/log.h>

namespace {

const int kMaxRandPolls = 100;

class CStartupPeer : public wxAppConsole {
public:
    CStartupPeer()
    {
        {
            wxLogNull quiet;
            m_locale.Init(wxLANGUAGE_DEFAULT, wxLOCALE_LOAD_DEFAULT);
        }
        InitOpenSSLLibraries();
        SeedRandomGenerator(kMaxRandPolls);
    }

    int OnRun() override { return 0; }

private:
    wxLocale m_locale;
};

}  // namespace

wxIMPLEMENT_APP_CONSOLE(CStartupPeer);
