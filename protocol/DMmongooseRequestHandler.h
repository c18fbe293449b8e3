// The request handler that sits between the server and the client interfaces.
//
// This is the place the request handler is being built in: for now the class only has the two
// entry points the server forwards to, and both leave the reply empty (HTTP requests then get
// CivetWeb's default answer). The HTTP and WebSocket client interfaces join it here.
#pragma once

#include <string>

// Owned by value by CDMServer for the life of the server; called concurrently from CivetWeb's
// worker threads, so whatever state it gains must guard itself.
class CDMmongooseRequestHandler {
public:
    CDMmongooseRequestHandler() = default;
    virtual ~CDMmongooseRequestHandler() = default;
    CDMmongooseRequestHandler(const CDMmongooseRequestHandler&) = delete;
    CDMmongooseRequestHandler& operator=(const CDMmongooseRequestHandler&) = delete;

    // text: the URL-decoded form text of a POST body. out: receives a complete HTTP response;
    // left untouched for now.
    void handle_request(const char* text, std::string& out);
    // text: one WebSocket text frame. out: receives the reply frame's text; left untouched for now.
    void handle_request_WS(const char* text, std::string& out);
};
