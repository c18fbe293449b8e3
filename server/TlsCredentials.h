// The server's TLS credentials: what CivetWeb's init_ssl callback calls to take the certificate and
// key from the credential file (read and deciphered by the credentials library) and install both in
// the TLS context.
#pragma once

#include <openssl/types.h>

// Installs certificate and key from the credential file (the work of the init_ssl callback). 1 when
// both are in the context, -1 otherwise (CivetWeb's start then fails: no server without the
// certificate). It may throw (allocations).
int InstallServerCredentials(SSL_CTX* ctx);

// Parses and installs a PEM certificate. 0; -1 bad argument; -2 no BIO; -3 not parsed; -4 refused.
int UseCertificateFromMemory(SSL_CTX* ctx, const char* pem, int len);
// Parses and installs an unencrypted PEM private key. 0, or -1.
int UsePrivateKeyFromMemory(SSL_CTX* ctx, const char* pem, int len);
