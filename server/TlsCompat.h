// Makes CivetWeb's TLS usable with OpenSSL 3. Debian's CivetWeb loads OpenSSL at run time by the
// unversioned names "libssl.so" and "libcrypto.so" (present only with the development package) and
// looks up SSL_get_peer_certificate, which OpenSSL 3 no longer exports; left with a null pointer it
// crashes on the first TLS connection. The daemon ships two small libraries with exactly those
// SONAMEs in its private library directory: the libssl one defines the missing function on top of
// OpenSSL 3, and both pull in the real libssl.so.3 / libcrypto.so.3. Once they are loaded,
// CivetWeb's own dlopen finds them by SONAME.
#pragma once

// Loads the compatibility libraries by absolute path (RTLD_NOW|RTLD_GLOBAL) and initialises
// CivetWeb with TLS. Returns 1 when CivetWeb reports the TLS feature, 0 otherwise (after logging
// why). Call it on the thread that starts the server, before mg_start; calling it again is
// harmless.
int NV_PrepareTls();

// Sets (or with 0 clears) a deadline, in milliseconds of CLOCK_MONOTONIC, for the TLS reads made on
// the calling thread: a read past it fails, and so do all later reads of that connection, which
// CivetWeb then closes. CivetWeb's own request time-out counts only silence, so this is what bounds
// a body that trickles in. Does nothing when the compatibility libssl is not loaded.
void NV_SetTlsReadDeadline(long long monotonicMs);
