// WebSocket endpoint: the CivetWeb WebSocket callbacks and the bounds on open WebSockets. A text
// frame carries one request, whose reply goes back as one text frame on the same connection.
#pragma once

#include <cstddef>

struct mg_connection;

// The payload of the placeholder text frame.
extern const char* const kWebSocketPlaceholder;

// An open WebSocket keeps its worker thread (25 in all) for as long as it lives, so WebSockets are
// bounded: never more than kMaxOpenWebSockets at once (the other workers stay for HTTP), never more
// than kMaxWebSocketsPerOrigin with the same Origin header (a browser always sends one; a handshake
// without one comes from a program of the daemon's own user and counts for the total only), and
// one idle for the guard's idle bound is closed.
constexpr int kMaxOpenWebSockets = 20;
constexpr int kMaxWebSocketsPerOrigin = 4;

// For the HTTP dispatch, before a handshake is let through: true when a WebSocket with this
// request's Origin may open now; otherwise logs the refusal and returns false (the dispatch then
// answers with the rejection). The slot itself is taken by MG_WebSocketConnectCB.
bool WebSocketMayOpen(const struct mg_connection* conn);

// The number of WebSockets open now (tests).
int OpenWebSocketCount();

// Registered once after mg_start with mg_set_websocket_handler(ctx, "**", ...), so that a handshake on
// any path reaches them; cbdata is unused (null). MG_WebSocketConnectCB takes the connection's slot
// (it refuses the handshake, returning 1, when none is left); MG_ConnectionCloseCB, CivetWeb's
// connection_close callback, gives it back when the connection ends, whichever way it ends.
int MG_WebSocketConnectCB(const struct mg_connection* conn, void* cbdata);
void MG_WebSocketReadyCB(struct mg_connection* conn, void* cbdata);
int MG_WebSocketDataCB(struct mg_connection* conn, int bits, char* data, std::size_t dataLen,
                       void* cbdata);
void MG_ConnectionCloseCB(const struct mg_connection* conn);
