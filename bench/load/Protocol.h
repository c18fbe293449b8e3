// Wire formats the load client speaks: the form-encoded HTTPS POST that pages send, the HTTP
// response framing it reads back, WebSocket frames (client side, masked) and the request template.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvbench {

// application/x-www-form-urlencoded: blank as '+', everything but [A-Za-z0-9-_.*] as %XX.
std::string FormEncode(const std::string& text);

// One POST request carrying body "request=<form-encoded json>".
std::string BuildPostRequest(const std::string& host, const std::string& json, bool closeAfter);

// The WebSocket opening handshake sent by the client.
// origin: the page the WebSocket stands for. The daemon admits only a few WebSockets per page
// origin, so loads of many connections give each its own.
std::string BuildUpgradeRequest(const std::string& host, const std::string& path,
                                const std::string& origin = "https://bench.localhost");

// Result of scanning a receive buffer for one complete HTTP response.
struct HttpResponse {
    bool complete = false;
    bool malformed = false;
    int status = 0;
    bool closeAfter = false;      // "Connection: close" was sent
    std::size_t totalLength = 0;  // head + body, valid when complete
    std::size_t bodyOffset = 0;
};
// Parses the response at the start of buf. A response without Content-Length is malformed unless it
// is a 101 (which has no body).
HttpResponse ParseHttpResponse(const std::string& buf);

// Masked client text frame (opcode 1, FIN set) or close frame (opcode 8).
std::string BuildClientFrame(int opcode, const std::string& payload, std::uint32_t maskKey);

struct WsFrame {
    bool complete = false;
    bool malformed = false;
    int opcode = 0;
    bool fin = false;
    std::size_t totalLength = 0;
    std::size_t payloadOffset = 0;
    std::size_t payloadLength = 0;
};
// Parses one server frame (unmasked) at the start of buf.
WsFrame ParseServerFrame(const std::string& buf);

// Request text with placeholders, rendered once per request. Placeholders:
//   {r} request number, {id} task id, {origin} origin, {conn} connection number, {pad} padding.
class RequestTemplate {
public:
    explicit RequestTemplate(const std::string& text);
    std::string Render(std::uint64_t r, const std::string& id, const std::string& origin, int conn,
                       const std::string& pad) const;

private:
    enum class Kind { Literal, R, Id, Origin, Conn, Pad };
    struct Piece {
        Kind kind;
        std::string text;
    };
    std::vector<Piece> m_pieces;
};

// The request a page sends for an ordinary module call (use_getresult absent or "TRUE").
std::string DefaultRequestTemplate(bool park, const std::string& tabid);

}  // namespace nvbench
