// WebSocket endpoint: what the three CivetWeb WebSocket callbacks hand their connection and frames
// to. A text frame carries one request, whose reply goes back as one text frame on the same
// connection.
#pragma once

#include <cstddef>

#include "server/RequestSink.h"

struct mg_connection;

// The payload of the placeholder text frame and of every pong the endpoint sends.
extern const char* const kWebSocketPlaceholder;

// Log lines of a handshake requested and of a connection open.
void LogWebSocketConnect(const struct mg_connection* conn);
void LogWebSocketReady(const struct mg_connection* conn);
// Answers one frame (bits: its first byte; data may be null). A text frame's request goes to the
// sink; without a sink (no server) its reply is empty. 1 keeps the connection, 0 makes CivetWeb
// close it. It may throw (allocations).
int HandleWebSocketFrame(struct mg_connection* conn, int bits, const char* data,
                         std::size_t dataLen, IDMRequestSink* sink);
