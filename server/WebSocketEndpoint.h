// WebSocket endpoint: what the three CivetWeb WebSocket callbacks hand their connection and frames
// to. A text frame carries one request, whose reply goes back as one text frame on the same
// connection.
#pragma once

#include <cstddef>

#include "server/RequestSink.h"

struct mg_connection;

// The payload of the placeholder text frame.
extern const char* const kWebSocketPlaceholder;

// An open WebSocket keeps its worker thread (25 in all) for as long as it lives, so WebSockets are
// bounded: never more than kMaxOpenWebSockets at once (the other workers stay for HTTP), never more
// than kMaxWebSocketsPerOrigin with the same Origin header (a browser always sends one; a handshake
// without one comes from a program of the daemon's own user and counts for the total only), and
// one idle for the read guard's idle bound is closed (by the guard).
constexpr int kMaxOpenWebSockets = 20;
constexpr int kMaxWebSocketsPerOrigin = 4;

// For the HTTP dispatch, before a handshake is let through: true when a WebSocket with this
// request's Origin may open now; otherwise logs the refusal and returns false (the dispatch then
// answers with the rejection). The slot itself is taken by TakeWebSocketSlot.
bool WebSocketMayOpen(const struct mg_connection* conn);
// For the connect callback: takes the connection's slot (kept by its worker thread) and returns true,
// or logs the refusal and returns false (the handshake is then refused: CivetWeb answers nothing
// and closes). It may throw (allocations).
bool TakeWebSocketSlot(const struct mg_connection* conn);
// For the connection_close callback, called for every connection: logs why the read guard ended it
// (if it did) and gives a WebSocket's slot back, however the WebSocket ended. It may throw.
void EndConnection(const struct mg_connection* conn);
// The number of WebSockets open now (tests).
int OpenWebSocketCount();

// Log lines of a handshake requested and of a connection open.
void LogWebSocketConnect(const struct mg_connection* conn);
void LogWebSocketReady(const struct mg_connection* conn);
// Answers one frame (bits: its first byte; data may be null). A text frame's request goes to the
// sink; without a sink (no server) its reply is empty. 1 keeps the connection, 0 makes CivetWeb
// close it. It may throw (allocations).
int HandleWebSocketFrame(struct mg_connection* conn, int bits, const char* data,
                         std::size_t dataLen, IDMRequestSink* sink);
