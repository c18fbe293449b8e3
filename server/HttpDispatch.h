// HTTP request dispatch: what the begin-request callback hands every HTTP request to the endpoint
// to first, and the small text helpers it is built from (exposed here for the unit tests).
#pragma once

#include <cstddef>
#include <string>

#include "server/RequestSink.h"

struct mg_connection;

// CivetWeb's "request_timeout_ms" option of the server, as a number: the bound for a request's
// silence, and the daemon's own bound for reading a whole request body.
constexpr long long kNvRequestTimeoutMs = 30000;

// Bodies larger than this are refused with the rejection before anything is allocated: the size
// comes from the page's Content-Length and must not decide how much memory the daemon takes.
constexpr long long kMaxRequestBodyBytes = 64LL * 1024 * 1024;

// The canned answers of the dispatch, written as they stand.
extern const char* const kProbeAnswer;
extern const char* const kRejection;

// The request behind the begin-request callback, which has found the server (sink): refuses other
// users' connections, lets WebSocket handshakes through, answers the probes and hands a POST's
// decoded body to the sink. 1 when the request was answered here, 0 when CivetWeb is to go on with
// it (WebSocket handshakes and methods other than GET and POST). It may throw (allocations).
int DispatchHttpRequest(struct mg_connection* conn, IDMRequestSink& sink);

// Writes the fixed rejection (kRejection) to the connection.
void WriteRejection(struct mg_connection* conn);

// True when the request carries every header of a WebSocket handshake, with "websocket" in Upgrade
// and "upgrade" in Connection (both compared in lower case).
bool IsWebSocketUpgrade(const struct mg_connection* conn);

// ASCII letters A-Z in lower case; every other byte unchanged. Null gives "".
std::string ToLowerString(const char* text);

// Empty for an empty text; the text unchanged when the delimiter does not occur; otherwise the part
// before (keepBefore) or after its first occurrence.
std::string CutAtDelimiter(const std::string& text, const std::string& delimiter, bool keepBefore);

// True when the origin host equals the referer rest up to its first '/'. Logs why it is false.
bool isEqualOriginAndReferer(const std::string& originHost, const std::string& refererRest);

// The Content-Length value read the way atoi reads it (blanks, an optional sign, leading digits), but
// saturating instead of overflowing, so that a huge value cannot come out small or negative.
long long ParseContentLength(const char* value);
