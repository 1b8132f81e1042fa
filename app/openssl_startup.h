#pragma once
// OpenSSL's process-wide set-up, shared by the agent's start-up and the start-up benchmark's
// peer program, so that the peer does exactly the same work.

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

/// Loads all algorithms, the SSL library and the error strings, never reading openssl.cnf.
inline void InitOpenSSLLibraries()
{
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG,
                        nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_LOAD_CONFIG,
                     nullptr);
}

/// Polls for entropy until the generator reports itself seeded, at most maxPolls times. An
/// unseeded generator is not fatal: start-up goes on and OpenSSL keeps trying itself.
inline void SeedRandomGenerator(int maxPolls)
{
    for (int polls = 0; polls < maxPolls;) {
        RAND_poll();
        ++polls;
        if (RAND_status() != 0)
            break;
    }
}
