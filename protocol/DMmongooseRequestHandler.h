// The request handler between the server and the two client interfaces: it takes the request out of
// an HTTP POST body and frames the HTTP client interface's answer as a complete HTTP response, and it
// hands WebSocket frame text to the WebSocket client interface.
#pragma once

#include <string>
#include <string_view>

#include "protocol/HTTPClientIntfHandler.h"
#include "protocol/WebSocketClientIntfHandler.h"

// Owned by value by CDMServer for the life of the server; it owns one HTTP and one WebSocket client
// interface (each with its own task store and clean-up thread), built and destroyed with it. Called
// from CivetWeb's worker threads, several at once; it keeps no state of its own between calls, and
// the client interfaces guard their stores with their own locks.
class CDMmongooseRequestHandler {
public:
    CDMmongooseRequestHandler() = default;
    virtual ~CDMmongooseRequestHandler() = default;
    CDMmongooseRequestHandler(const CDMmongooseRequestHandler&) = delete;
    CDMmongooseRequestHandler& operator=(const CDMmongooseRequestHandler&) = delete;

    // text: the URL-decoded form text of a POST body, such as request={...}. pageOrigin: the
    // request's Origin header, or null when it had none (the request then reaches only sessions of
    // other requests without one). out: receives the whole HTTP response; left untouched when text
    // is null or holds no request value.
    void handle_request(const char* text, const char* pageOrigin, std::string& out);
    void handle_request(const char* text, std::string& out) { handle_request(text, nullptr, out); }
    // text: the text of one WebSocket frame. pageOrigin: the Origin header of the connection's
    // handshake, or null. out: receives the reply text, unframed; untouched when text is null.
    void handle_request_WS(const char* text, const char* pageOrigin, std::string& out);
    void handle_request_WS(const char* text, std::string& out) {
        handle_request_WS(text, nullptr, out);
    }

    // value: everything after the first key + "=" in text (later "&" pairs are not split off), or ""
    // when it does not occur. 0, or -1 when the value is empty.
    int GetJsonStringFromReqData(std::string_view text, const char* key, std::string& value);
    // Has the HTTP client interface answer request and frames the answer into out.
    void handle_HTTPClientIntf(const std::string& request, const char* pageOrigin,
                               std::string& out);
    // out: status line, header lines, Content-Length (the body's length in bytes), a blank line, then
    // body as it is.
    void MakeReply(const std::string& body, std::string& out);

private:
    CHTTPClientIntfHandler m_HTTPClientIntfHandler;
    CWebSocketClientIntfHandler m_WebSocketClientIntfHandler;
};
