// Makes CivetWeb's TLS usable with OpenSSL 3, and guarded. Debian's CivetWeb loads OpenSSL at run
// time by the unversioned names "libssl.so" and "libcrypto.so" (present only with the development
// package) and looks up SSL_get_peer_certificate, which OpenSSL 3 no longer exports; left with a
// null pointer it crashes on the first TLS connection. The daemon ships two small libraries with
// exactly those SONAMEs in its private library directory: the libssl one defines the missing
// function on top of OpenSSL 3 and guards every read CivetWeb makes (WebSocket frame sizes, the
// request deadline, the WebSocket idle bound), and both pull in the real libssl.so.3 /
// libcrypto.so.3. Once they are loaded, CivetWeb's own dlopen finds them by SONAME.
#pragma once

// Loads the compatibility libraries by absolute path (RTLD_NOW|RTLD_GLOBAL), initialises CivetWeb
// with TLS and proves that the reads CivetWeb will make go through the guard. Returns 1 when all of
// that holds, 0 otherwise (after logging why): without the guard no limit of the endpoint holds, so
// the server must not serve. Call it on the thread that starts the server, before mg_start; calling
// it again is harmless.
int NV_PrepareTls();

// The request the calling worker thread is serving has been answered and read whole, so the next
// byte of its connection starts a new request with a deadline of its own. A request that is not
// ended this way (every refusal) keeps its deadline: its connection ends by the request time-out
// from its first byte at the latest. Does nothing when the guard is not loaded.
void NV_EndTlsRequest();

// The request time-out and the WebSocket idle bound of the guard, in milliseconds. They are the
// build's values (NV_REQUEST_TIMEOUT_MS, NV_WS_IDLE_TIMEOUT_MS) unless the server's tests, running
// it in their own process, shorten them; nothing else sets them. Takes effect at once when the
// guard is loaded, and is handed to it by NV_PrepareTls otherwise.
void NV_SetTlsLimits(long long requestTimeoutMs, long long webSocketIdleMs);

// Why the guard last ended a connection served by the calling thread ("request time-out",
// "WebSocket idle", "WebSocket frame too long"), then null until the next; null when it did not.
const char* NV_TakeTlsRefusal();
