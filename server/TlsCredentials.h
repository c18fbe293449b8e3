// The server's TLS credentials: what CivetWeb's init_ssl callback calls to take the certificate and
// key from the credential file (read and deciphered by the credentials library) and install both in
// the TLS context.
#pragma once

#include <openssl/types.h>

// The TLS 1.2 suites offered: ECDHE with the ECDSA key of the daemon's certificate and an AEAD
// cipher (AES-GCM, ChaCha20-Poly1305), no CBC suite. TLS 1.3 suites are all AEAD; nothing older
// than TLS 1.2 is offered (CivetWeb's ssl_protocol_version option).
extern const char* const kNvTls12CipherList;

// Installs certificate and key from the credential file and the TLS 1.2 cipher list (the work of
// the init_ssl callback; CivetWeb applies its own ssl_cipher_list option only when that callback
// leaves the set-up to it). 1 when all are in the context, -1 otherwise (CivetWeb's start then
// fails: no server without the certificate). It may throw (allocations).
int InstallServerCredentials(SSL_CTX* ctx);

// Parses and installs a PEM certificate. 0; -1 bad argument; -2 no BIO; -3 not parsed; -4 refused.
int UseCertificateFromMemory(SSL_CTX* ctx, const char* pem, int len);
// Parses and installs an unencrypted PEM private key. 0, or -1.
int UsePrivateKeyFromMemory(SSL_CTX* ctx, const char* pem, int len);
