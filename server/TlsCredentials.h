// The server's TLS credentials: CivetWeb's init_ssl callback takes the certificate and key from the
// credential file (credentials/CredentialFile.h, whose declarations this header carries along for
// the server's callers) and installs both in the TLS context.
#pragma once

#include <openssl/types.h>

#include "credentials/CredentialFile.h"

// The TLS 1.2 suites offered: ECDHE with the ECDSA key of the daemon's certificate and an AEAD
// cipher (AES-GCM, ChaCha20-Poly1305), no CBC suite. TLS 1.3 suites are all AEAD; nothing older
// than TLS 1.2 is offered (CivetWeb's ssl_protocol_version option).
extern const char* const kNvTls12CipherList;

// CivetWeb's init_ssl callback: installs certificate and key from the credential file, and the
// cipher list (CivetWeb applies its own ssl_cipher_list option only when this callback leaves the
// set-up to it). 1 when all are in the context, -1 otherwise (CivetWeb's start then fails: no
// server without the certificate).
int MG_InitSSLCB(void* ssl_ctx, void* user_data);

// Parses and installs a PEM certificate. 0; -1 bad argument; -2 no BIO; -3 not parsed; -4 refused.
int UseCertificateFromMemory(SSL_CTX* ctx, const char* pem, int len);
// Parses and installs an unencrypted PEM private key. 0, or -1.
int UsePrivateKeyFromMemory(SSL_CTX* ctx, const char* pem, int len);
