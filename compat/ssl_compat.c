/* Compatibility libssl for CivetWeb 1.15 as Debian ships it. CivetWeb opens "libssl.so" by that
 * name and looks up the OpenSSL 1.1 function SSL_get_peer_certificate, which OpenSSL 3 only offers
 * as a macro for SSL_get1_peer_certificate. This library carries the SONAME "libssl.so", depends on
 * the real libssl.so.3 and libcrypto.so.3 (so every other lookup through its handle reaches them),
 * and defines the one missing function. */
#include <openssl/ssl.h>

#undef SSL_get_peer_certificate

__attribute__((visibility("default"))) X509* SSL_get_peer_certificate(const SSL* s);

/* Both return a new reference that the caller frees, so the old name maps onto the new one. */
X509* SSL_get_peer_certificate(const SSL* s) {
    return SSL_get1_peer_certificate(s);
}
