// Process-wide start-up and clean-up of OpenSSL and SQLite, each run once whichever of the
// application object, the run path or the script thread comes first; and the trace module name.
#include "agent_app.h"
#include "openssl_startup.h"

#include "openssl_threads.h"
#include "sqlite_database.h"

#include <openssl/conf.h>

const char CAgentApp::s_Trace[] = "Appl";

namespace {

const int kMaxRandPolls = 100;

// Plain flags, not locks: the callers never run start-up or clean-up on two threads at once.
bool s_startupDone = false;
bool s_cleanupDone = false;

}  // namespace

void CAgentApp::StartupInit()
{
    if (s_startupDone)
        return;
    s_startupDone = true;

    InitOpenSSLLibraries();
    VkaCore::OpenSSLThreadSetup();
    SeedRandomGenerator(kMaxRandPolls);
}

void CAgentApp::TerminationCleanup()
{
    if (s_cleanupDone)
        return;
    s_cleanupDone = true;

    VkaCore::OpenSSLThreadShutdown();
    // OpenSSL 3 frees each thread's error state itself when the thread ends, so there is no
    // per-thread error-state removal to do here.
    CONF_modules_unload(1);
    // The error strings, the algorithm tables, the SSL compression methods and the ex_data
    // tables are released by OpenSSL 3's own exit handler; the calls that used to free them
    // explicitly no longer exist, and freeing them early would break a later OpenSSL user.
    VkaCore::CSqliteDatabase::ShutdownSQLite();
}
