// Installing the server's TLS credentials into CivetWeb's context: the credential file (the user's
// own when usable, else the machine's) is read and deciphered by the credentials library, and every buffer holding the plain texts is zeroed
// before it is released, on every path.
#include "server/TlsCredentials.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <string>

#include "credentials/CredentialFile.h"
#include "credentials/OpenSslOwners.h"
#include "credentials/UserCredentials.h"
#include "support/DMLog.h"

// A negative result makes CivetWeb's start fail. A server without the daemon's certificate would
// hold the port and fail every handshake, and the single-instance rule would then end every later
// start quietly: better no server, so that the port stays free and a start after the credential
// file is mended serves.
constexpr int kRefuseToServe = -1;

const char* const kNvTls12CipherList =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305";

int InstallServerCredentials(SSL_CTX* ctx) {
    if (ctx == nullptr)
        return kRefuseToServe;
    DEC_CERT cert;  // zeroes and frees the plain texts on every return below

    // The user's own credential file when it is usable, the machine's otherwise; the line says
    // which and why, so that a user left on the machine's can be told apart.
    std::string path;
    std::string why;
    const int loaded = NV_LoadServedCredentials(&cert, &path, &why);
    DMlogprint("CDMServer::CDMServer SSL credentials = [%s] (%s)", path.c_str(), why.c_str());
    if (loaded < 0) {
        DMlogprint("CDMServer::CDMServer Error = [Load SSL certificate]");
        return kRefuseToServe;
    }
    DMlogprint("CDMServer::CDMServer Success = load SSL certificate");
    if (UseCertificateFromMemory(ctx, cert.pCert, cert.nCertLen) < 0) {
        DMlogprint("CDMServer::CDMServer Error = [Failed to regist SSL certificate]");
        return kRefuseToServe;
    }
    if (UsePrivateKeyFromMemory(ctx, cert.pKey, cert.nKeyLen) < 0) {
        DMlogprint("CDMServer::CDMServer Error = [Failed to regist SSL privatekey]");
        return kRefuseToServe;
    }
    if (SSL_CTX_set_cipher_list(ctx, kNvTls12CipherList) != 1) {
        DMlogprint("[TLS] cipher list refused : %s\n", kNvTls12CipherList);
        return kRefuseToServe;
    }
    return 1;
}

int UseCertificateFromMemory(SSL_CTX* ctx, const char* pem, int len) {
    if (ctx == nullptr || pem == nullptr || len <= 0 || pem[0] == '\0')
        return -1;
    ERR_clear_error();
    BioPtr bio(BIO_new_mem_buf(pem, len));
    if (!bio)
        return -2;
    X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, SSL_CTX_get_default_passwd_cb(ctx),
                                   SSL_CTX_get_default_passwd_cb_userdata(ctx)));
    if (!x509)
        return -3;
    // The context takes its own reference; ours goes with x509.
    if (SSL_CTX_use_certificate(ctx, x509.get()) != 1)
        return -4;
    return 0;
}

int UsePrivateKeyFromMemory(SSL_CTX* ctx, const char* pem, int len) {
    if (ctx == nullptr || pem == nullptr || len <= 0 || pem[0] == '\0')
        return -1;
    ERR_clear_error();
    BioPtr bio(BIO_new_mem_buf(pem, len));
    if (!bio)
        return -1;
    PKeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, SSL_CTX_get_default_passwd_cb(ctx),
                                         SSL_CTX_get_default_passwd_cb_userdata(ctx)));
    if (!pkey)
        return -1;
    return SSL_CTX_use_PrivateKey(ctx, pkey.get()) == 1 ? 0 : -1;
}
