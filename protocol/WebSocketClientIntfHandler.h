// The WebSocket client interface: answers the JSON text of one WebSocket frame.
#pragma once

#include <chrono>
#include <string>

#include "protocol/DMServerClientIntfHandler.h"

// The WebSocket twin of the HTTP client interface, with its own task store and clean-up thread.
// Every frame is a module call answered when the module returns; nothing is parked for later
// collection, and sessions are kept per origin and per tab (the quoted "tabid"). Owned by the
// request handler; ProcessRequest runs on the server's WebSocket threads, several at once.
class CWebSocketClientIntfHandler : public CDMServerClientIntfHandler {
public:
    explicit CWebSocketClientIntfHandler(std::chrono::milliseconds cleanupWait = kCleanupWait)
        : CDMServerClientIntfHandler(cleanupWait) {}
    ~CWebSocketClientIntfHandler() override = default;

    // request: the frame's text. pageOrigin: the Origin header of the connection's handshake, or
    // null. reply: assigned the JSON reply text. Always 0.
    using CDMServerClientIntfHandler::ProcessRequest;
    int ProcessRequest(const std::string& request, const char* pageOrigin,
                       std::string& reply) override;
};
