// Thread support for OpenSSL. Since version 1.1 the library locks for itself, so there are
// no callbacks to install; the calls only record that set-up happened, so that a shutdown
// without set-up (or a second one) is harmless.

#include "openssl_threads.h"

#include <openssl/crypto.h>

#include <atomic>

namespace VkaCore {

namespace {
std::atomic<bool> g_setUp{false};
}

void OpenSSLThreadSetup()
{
    g_setUp.store(true);
}

void OpenSSLThreadShutdown()
{
    if (!g_setUp.exchange(false))
        return;
    // Frees the calling thread's OpenSSL state now rather than at exit.
    OPENSSL_thread_stop();
}

}  // namespace VkaCore
