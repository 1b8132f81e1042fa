#pragma once
// The core library's thread support for OpenSSL.

namespace VkaCore {

/// Thread support for OpenSSL (OpenSSL 3 is thread-safe by itself; these only record state).
void OpenSSLThreadSetup();
void OpenSSLThreadShutdown();

}  // namespace VkaCore
