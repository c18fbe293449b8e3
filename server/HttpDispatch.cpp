// HTTP request dispatch: lets WebSocket handshakes through to CivetWeb, answers the port-scan probes
// that pages use to find the daemon, applies the Origin/Referer consistency rule, and hands the
// decoded body of a POST to the server's request handler, writing its ready-made response back.
#include "server/HttpDispatch.h"

#include <civetweb.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "nv_config.h"
#include "server/PeerCheck.h"
#include "server/TlsCompat.h"
#include "server/WebSocketEndpoint.h"
#include "support/DMLog.h"
#include "support/Wipe.h"
#include "tasks/HTTPTaskManager.h"

// A page must be able to park three requests at the body cap, each with a reply of the same size,
// and the store must hold two such pages: a larger cap needs larger budgets in the task store.
static_assert(kMaxTaskBytesPerPage >= 3 * 2 * static_cast<std::size_t>(NV_MAX_REQUEST_BODY_BYTES) +
                                          3 * kTaskBookkeepingBytes,
              "the task store's page budget is smaller than three parked requests at the cap");
static_assert(kMaxTaskBytesPerStore >= 2 * kMaxTaskBytesPerPage,
              "the task store's budget is smaller than two pages' budgets");

const char* const kProbeAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
    "close\r\n\r\n";
const char* const kRejection =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: "
    "*\r\nConnection: close\r\n\r\n";

const long long kMaxRequestBodyBytes = NV_MAX_REQUEST_BODY_BYTES;

// The results of mg_printf and mg_write are not examined: when the connection has already failed
// there is nobody left to tell, and CivetWeb closes it after the callback returns.
void WriteRejection(mg_connection* conn) {
    mg_printf(conn, "%s", kRejection);
}

namespace {

const char* const kSecurePortScan = "securePortScan";
const char* const kDmPortScan = "dmPortScan";

void WriteProbeAnswer(mg_connection* conn) {
    mg_printf(conn, "%s", kProbeAnswer);
}

// Scheme removed: "https://hostA:8443" gives "hostA:8443". A value without "://" is used whole.
std::string AfterScheme(const char* value) {
    return CutAtDelimiter(value, "://", /*keepBefore=*/false);
}

// True when nothing of the request is left to read: no body was announced, or all of it was read.
// Only then may the next byte on the connection start a new request (NV_EndTlsRequest); every other
// request keeps its deadline, so that CivetWeb's draining of an unread body, and the connection
// after it, end by the request time-out from the request's first byte.
bool ReadWhole(const mg_connection* conn, long long bodyBytesRead) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (info == nullptr || mg_get_header(conn, "Transfer-Encoding") != nullptr)
        return false;
    return info->content_length <= 0 ? bodyBytesRead == 0 : info->content_length == bodyBytesRead;
}

// An answer that leaves the connection ready for the next request.
void EndRequestIfReadWhole(const mg_connection* conn, long long bodyBytesRead) {
    if (ReadWhole(conn, bodyBytesRead))
        NV_EndTlsRequest();
}

// Reads up to `length` body bytes into `buffer`, which stays zero-terminated; the byte count, or 0
// or less when nothing came (or no memory could be had). The buffer grows with the bytes that
// really arrive (in doubling pieces) rather than with the number the page announced, so a
// Content-Length near the cap followed by nothing costs the daemon no more than a small piece. Each
// mg_read fills its piece unless the peer closes, the request time-out passes in silence, or the
// request time-out from the request's first byte passes (the read guard's deadline), and then the
// body ends there, as a single read of the whole length would have ended it. After the last case
// the connection is not read again: CivetWeb closes it.
int ReadBody(mg_connection* conn, std::size_t length, CWipedBuffer& buffer) {
    constexpr std::size_t kFirstPiece = 64 * 1024;
    std::size_t total = 0;
    while (total < length) {
        std::size_t want = std::min(length - total, std::max(kFirstPiece, total));
        if (!buffer.Grow(total + want + 1))
            return -1;  // no memory: the request is refused
        int got = mg_read(conn, buffer.Data() + total, want);
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < want)
            break;
    }
    return static_cast<int>(total);
}

int HandleGet(mg_connection* conn, const mg_request_info* info) {
    const char* query = info->query_string;
    if (query == nullptr || query[0] == '\0') {
        DMlogprint("Request command is empty");
        WriteRejection(conn);
        return 1;
    }
    const char* origin = mg_get_header(conn, "Origin");
    const char* referer = mg_get_header(conn, "Referer");

    // The route words are searched anywhere in the raw query, case-sensitively; the path is never
    // looked at. securePortScan wins when both words are present.
    if (std::strstr(query, kSecurePortScan) != nullptr) {
        if (origin == nullptr) {
            DMlogprint("securePortScan : Origin is NULL.");
            WriteProbeAnswer(conn);
            EndRequestIfReadWhole(conn, 0);
            return 1;
        }
        if (referer != nullptr &&
            !isEqualOriginAndReferer(AfterScheme(origin), AfterScheme(referer))) {
            WriteRejection(conn);
            return 1;
        }
        WriteProbeAnswer(conn);
        EndRequestIfReadWhole(conn, 0);
        return 1;
    }
    if (std::strstr(query, kDmPortScan) != nullptr) {
        std::string callerOrigin;
        if (origin != nullptr) {
            callerOrigin = AfterScheme(origin);
        } else {
            DMlogprint("dmPortScan : Origin is NULL. Use Referer alter Origin.");
            if (referer != nullptr)
                callerOrigin = CutAtDelimiter(AfterScheme(referer), "/", /*keepBefore=*/true);
            else
                DMlogprint("dmPortScan : Referer is NULL.");
        }
        DMlogprint("dmPortScan Origin : %s", callerOrigin.c_str());
        WriteProbeAnswer(conn);
        EndRequestIfReadWhole(conn, 0);
        return 1;
    }
    // Ordinary requests are not accepted through GET.
    WriteRejection(conn);
    return 1;
}

int HandlePost(mg_connection* conn, IDMRequestSink& sink) {
    const char* origin = mg_get_header(conn, "Origin");
    const char* referer = mg_get_header(conn, "Referer");
    // Only a pair that disagrees is refused: a page may send Origin alone, or neither header.
    if (origin != nullptr && referer != nullptr &&
        !isEqualOriginAndReferer(AfterScheme(origin), AfterScheme(referer))) {
        WriteRejection(conn);
        return 1;
    }

    const char* contentLength = mg_get_header(conn, "Content-Length");
    long long length = contentLength != nullptr ? ParseContentLength(contentLength) : 0;
    if (length <= 0) {
        WriteRejection(conn);
        return 1;
    }
    // Refused before anything is allocated: the page, not the daemon, chose this number.
    if (length > kMaxRequestBodyBytes) {
        DMlogprint("[%s] ERROR request body too large : %lld\n", "MG_RequestHandlerCB", length);
        WriteRejection(conn);
        return 1;
    }

    // The body buffer, wiped whole (not only the bytes read) before it is released on every path.
    CWipedBuffer buffer;
    // A shorter body (the peer closed, or the request time-out expired) is accepted as it is.
    int readCount = ReadBody(conn, static_cast<std::size_t>(length), buffer);
    if (readCount <= 0) {
        WriteRejection(conn);
        return 1;
    }

    std::string body(buffer.Data());  // up to the first NUL, as a C string
    CScopedWipe wipeBody(body);
    WipeBuffer(buffer.Data(), static_cast<std::size_t>(readCount));
    // Form decoding: '+' becomes a blank, %XX that byte, a '%' without two hex digits stays. The
    // capacity covers the whole body plus its terminator, so nothing is cut off.
    mg_url_decode(body.c_str(), static_cast<int>(body.size()), buffer.Data(), readCount + 1,
                  /*is_form_url_encoded=*/1);

    std::string reply;
    CScopedWipe wipeReply(reply);
    // The Origin header, which the browser sets and the page cannot, keeps each page to its own
    // sessions and parked results.
    sink.HandleRequest(buffer.Data(), origin, reply);
    WipeString(body);

    if (!reply.empty()) {
        mg_write(conn, reply.data(), reply.size());
        EndRequestIfReadWhole(conn, readCount);
    } else {
        // A body without a usable "request=" value yields no reply. Answer it anyway, so that the
        // page is not left waiting and the worker is not tied up for the keep-alive time.
        WriteRejection(conn);
    }
    DMlogprint("======= [%s] SEND : %s\n", "MG_RequestHandlerCB", reply.c_str());
    return 1;
}

}  // namespace

int DispatchHttpRequest(mg_connection* conn, IDMRequestSink& sink) {
    const mg_request_info* info = mg_get_request_info(conn);
    // Every user of the machine shares 127.0.0.1 and these ports: a request from another user's
    // socket (a WebSocket handshake included) is refused before anything else is looked at. The
    // lookup is made for a connection's first request; a connection that passed stays passed.
    if (!IsConnectionOfThisUser(conn)) {
        WriteRejection(conn);
        return 1;
    }
    // Returning 0 lets CivetWeb answer the handshake; the WebSocket callbacks take over from there.
    // Past the bounds on open WebSockets the handshake gets the rejection instead, and the page's
    // client goes on over HTTPS.
    if (IsWebSocketUpgrade(conn)) {
        if (!WebSocketMayOpen(conn)) {
            WriteRejection(conn);
            return 1;
        }
        return 0;
    }
    if (info == nullptr || info->request_method == nullptr)
        return 0;

    if (std::strcmp(info->request_method, "GET") == 0)
        return HandleGet(conn, info);
    if (std::strcmp(info->request_method, "POST") == 0)
        return HandlePost(conn, sink);
    // OPTIONS, HEAD, PUT, ...: CivetWeb answers with its own error response (no document root).
    return 0;
}

bool IsWebSocketUpgrade(const struct mg_connection* conn) {
    // Header names match without regard to case in CivetWeb.
    const char* host = mg_get_header(conn, "Host");
    const char* upgrade = mg_get_header(conn, "Upgrade");
    const char* connection = mg_get_header(conn, "Connection");
    const char* key = mg_get_header(conn, "Sec-WebSocket-Key");
    const char* version = mg_get_header(conn, "Sec-WebSocket-Version");
    if (host == nullptr || upgrade == nullptr || connection == nullptr || key == nullptr ||
        version == nullptr)
        return false;
    return ToLowerString(upgrade).find("websocket") != std::string::npos &&
           ToLowerString(connection).find("upgrade") != std::string::npos;
}

std::string ToLowerString(const char* text) {
    std::string result;
    if (text == nullptr)
        return result;
    result = text;
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string CutAtDelimiter(const std::string& text, const std::string& delimiter, bool keepBefore) {
    if (text.empty())
        return std::string();
    std::size_t pos = text.find(delimiter);
    if (pos == std::string::npos)
        return text;
    return keepBefore ? text.substr(0, pos) : text.substr(pos + delimiter.size());
}

bool isEqualOriginAndReferer(const std::string& originHost, const std::string& refererRest) {
    if (originHost.empty() || refererRest.empty()) {
        DMlogprint("isEqualOriginAndReferer, Data is Null");
        return false;
    }
    std::string refererHost = CutAtDelimiter(refererRest, "/", /*keepBefore=*/true);
    // Exact comparison of the whole texts, port included: hostA and hostA:443 differ.
    if (originHost != refererHost) {
        DMlogprint("isEqualOriginAndRefererData is not equal");
        DMlogprint("origin(%s), referer(%s)", originHost.c_str(), refererHost.c_str());
        return false;
    }
    return true;
}

long long ParseContentLength(const char* value) {
    if (value == nullptr)
        return 0;
    const char* p = value;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    long long result = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        int digit = *p - '0';
        if (result > (LLONG_MAX - digit) / 10) {
            result = LLONG_MAX;  // saturate: certainly larger than any accepted body
            break;
        }
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}
