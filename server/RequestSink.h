// What the HTTP dispatch and the WebSocket endpoint hand a request's text to. The server object
// is the one implementation; the dispatch sees only this, so it needs neither the server's header
// nor its singleton, and the CivetWeb callbacks are the only code that reads s_pServer.
#pragma once

#include <string>

// Called on CivetWeb's worker threads, concurrently; the implementation guards its own state.
class IDMRequestSink {
public:
    // pageOrigin is the request's Origin header (for a WebSocket message, the handshake's), null
    // when there was none: it decides which page's sessions the request may reach.
    // The decoded body of an HTTP POST; the reply is a complete HTTP response.
    virtual void HandleRequest(const char* request, const char* pageOrigin, std::string& reply) = 0;
    // The text of one WebSocket text frame; the reply is the text of one WebSocket message.
    virtual void HandleRequestWS(const char* request, const char* pageOrigin,
                                 std::string& reply) = 0;

protected:
    ~IDMRequestSink() = default;
};
