// WebSocket endpoint: the three CivetWeb WebSocket callbacks. A text frame carries one request, whose
// reply goes back as one text frame on the same connection.
#pragma once

#include <cstddef>

struct mg_connection;

// The payload of the placeholder text frame and of every pong the endpoint sends.
extern const char* const kWebSocketPlaceholder;

// Registered once after mg_start with mg_set_websocket_handler(ctx, "**", ...), so that a handshake on
// any path reaches them; cbdata is unused (null).
int MG_WebSocketConnectCB(const struct mg_connection* conn, void* cbdata);
void MG_WebSocketReadyCB(struct mg_connection* conn, void* cbdata);
int MG_WebSocketDataCB(struct mg_connection* conn, int bits, char* data, std::size_t dataLen,
                       void* cbdata);
