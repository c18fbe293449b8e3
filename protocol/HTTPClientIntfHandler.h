// The HTTP client interface: turns the JSON text of one HTTP request into a module call or a
// result collection, and gives back the JSON reply text.
#pragma once

#include <chrono>
#include <string>

#include "protocol/DMServerClientIntfHandler.h"

// Every module call runs as a task in this handler's own store, synchronously on the request's
// thread; the store is what lets a page collect a parked result later ("GET_RESULT") or see that a
// call is still "RUNNING". Owned by the request handler; ProcessRequest runs on the server's worker
// threads, several at once, and keeps no state of its own between calls.
class CHTTPClientIntfHandler : public CDMServerClientIntfHandler {
public:
    explicit CHTTPClientIntfHandler(std::chrono::milliseconds cleanupWait = kCleanupWait)
        : CDMServerClientIntfHandler(cleanupWait) {}
    ~CHTTPClientIntfHandler() override = default;

    // request: the JSON request as the page sent it. pageOrigin: its Origin header, or null.
    // reply: assigned the JSON reply text. Always 0.
    using CDMServerClientIntfHandler::ProcessRequest;
    int ProcessRequest(const std::string& request, const char* pageOrigin,
                       std::string& reply) override;
};
