// CivetWeb's callbacks into the server, all of them. Each stays a few lines: it reads s_pServer
// when it needs the server and returns its failure code when there is none, converts CivetWeb's
// arguments and makes one call into C++. No exception may leave one (CivetWeb is C), so the code
// behind them is plain C++ that never faces that boundary.
//
// s_pServer is read without a lock: the server object is set before CivetWeb starts and cleared
// only after CivetWeb (and with it every worker thread) has stopped.
#include <civetweb.h>

#include "server/DMServer.h"
#include "server/HttpDispatch.h"
#include "server/TlsCredentials.h"
#include "server/WebSocketEndpoint.h"
#include "support/DMLog.h"

int MG_RequestHandlerCB(struct mg_connection* conn) {
    CDMServer* server = CDMServer::s_pServer;
    if (server == nullptr)
        return -1;
    // The only throwing operations are allocations made before anything is written, so the page
    // gets the rejection.
    try {
        return DispatchHttpRequest(conn, *server);
    } catch (...) {
        WriteRejection(conn);
        return 1;
    }
}

// CivetWeb goes on with its own error logging after a 0, and that writes nothing because no
// error log file is configured. Logging needs no server object, so a message CivetWeb writes while
// a start fails is logged too.
int MG_LogMessageCB(const mg_connection* conn, const char* message) {
    (void)conn;
    try {
        DMlogprint("[MONGOOSE] %s", message != nullptr ? message : "");
    } catch (...) {
    }
    return 0;
}

// Reads only the credential file, never the server object (see the declaration).
int MG_InitSSLCB(void* ssl_ctx, void* /*user_data*/) {
    try {
        return InstallServerCredentials(static_cast<SSL_CTX*>(ssl_ctx));
    } catch (...) {
        return -1;
    }
}

// The connect and ready callbacks only log; they hold no server state.
int MG_WebSocketConnectCB(const struct mg_connection* conn, void* /*cbdata*/) {
    try {
        LogWebSocketConnect(conn);
    } catch (...) {
    }
    return 0;  // no handshake is refused here
}

void MG_WebSocketReadyCB(struct mg_connection* conn, void* /*cbdata*/) {
    try {
        LogWebSocketReady(conn);
    } catch (...) {
    }
}

// Without a server object a text frame is still answered as one whose handler gave no reply, as
// the endpoint has always done; a frame that cannot be handled ends the connection.
int MG_WebSocketDataCB(struct mg_connection* conn, int bits, char* data, std::size_t dataLen,
                       void* /*cbdata*/) {
    CDMServer* server = CDMServer::s_pServer;
    try {
        return HandleWebSocketFrame(conn, bits, data, dataLen, server);
    } catch (...) {
        return 0;
    }
}
