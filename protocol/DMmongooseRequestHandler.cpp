// The request handler: request extraction from POST bodies, HTTP framing of replies, and the hand-over
// of WebSocket frame text.
#include "protocol/DMmongooseRequestHandler.h"

#include <charconv>
#include <cstring>

#include "support/DMLog.h"
#include "support/Wipe.h"

namespace {

// The status line and header lines of every framed reply, in this order. The reply is served as
// text/html (pages read it with XHR or fetch), and it echoes page-controlled values such as the
// "callback" member; the last two lines make sure that no markup in a reply can ever run as a
// document on the daemon's origin, while XHR and fetch see no difference.
const char kReplyHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Max-Age: 10000\r\n"
    "Content-Type: text/html;charset=UTF-8\r\n"
    "Vary: Accept-Encoding\r\n"
    "Content-Security-Policy: default-src 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

}  // namespace

void CDMmongooseRequestHandler::handle_request(const char* text, const char* pageOrigin,
                                               std::string& out) {
    std::string request;
    // Carries the page's request: wiped on every path. The value is taken out of the caller's
    // text, which the caller wipes, without a copy of the whole body in between.
    CScopedWipe wipeRequest(request);
    if (text == nullptr)
        return;
    if (GetJsonStringFromReqData(text, "request", request) < 0) {
        DMlogprint("[%s] ERROR GetJsonStringFromReqData\n", "handle_request");
        return;
    }
    handle_HTTPClientIntf(request, pageOrigin, out);
}

void CDMmongooseRequestHandler::handle_request_WS(const char* text, const char* pageOrigin,
                                                  std::string& out) {
    if (text == nullptr)
        return;
    std::string copy(text);
    CScopedWipe wipeCopy(copy);  // request text: wiped like every other copy of it
    m_WebSocketClientIntfHandler.ProcessRequest(copy, pageOrigin, out);
}

int CDMmongooseRequestHandler::GetJsonStringFromReqData(std::string_view text, const char* key,
                                                        std::string& value) {
    value.clear();
    // A plain substring search: "xrequest=Y" yields Y, and "a=1&request=X&b=2" yields "X&b=2".
    std::string needle = std::string(key != nullptr ? key : "") + "=";
    std::size_t pos = text.find(needle);
    if (pos == std::string_view::npos) {
        DMlogprint("[CDMHttpRequestHandler] POST data parse error\n");
    } else {
        value.assign(text.substr(pos + needle.size()));
    }
    return value.empty() ? -1 : 0;
}

void CDMmongooseRequestHandler::handle_HTTPClientIntf(const std::string& request,
                                                      const char* pageOrigin, std::string& out) {
    std::string reply;
    CScopedWipe wipeReply(reply);
    m_HTTPClientIntfHandler.ProcessRequest(request, pageOrigin, reply);
    MakeReply(reply, out);
}

void CDMmongooseRequestHandler::MakeReply(const std::string& body, std::string& out) {
    char length[32];
    // Decimal, as "%ld" would write it, without a printf per reply.
    *std::to_chars(length, length + sizeof(length) - 1, static_cast<long>(body.size())).ptr = '\0';
    // Reserved up front so that no partial copy of the reply is left behind in a released buffer.
    out.reserve(sizeof(kReplyHead) + std::strlen("Content-Length: ") + std::strlen(length) + 4 +
                body.size());
    out = kReplyHead;
    out += "Content-Length: ";
    out += length;
    out += "\r\n\r\n";
    out += body;
    DMlogprint("strResponse - %s\n", out.c_str());
}
