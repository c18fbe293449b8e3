// The records a request and its outcome are held in while the daemon serves it, and the filling of
// a request record from a parsed JSON request, one function per transport.
#pragma once

#include <string>

class CDM_Json;

// The parsed request. Tasks keep a copy of it (copy construction); the task key is id + "&" + tabid
// and the session is found by partition and origin, then session_id. Every text field except
// use_getresult may carry data of the page, so the destructor overwrites them with zero bytes
// before they are released. Not shared between threads while it is being filled.
class _PROTOCOL_HEADER {
public:
    _PROTOCOL_HEADER();
    _PROTOCOL_HEADER(const _PROTOCOL_HEADER& other);
    // Wipes the fields it replaces before copying, so an assigned record leaves no old text behind.
    _PROTOCOL_HEADER& operator=(const _PROTOCOL_HEADER& other);
    virtual ~_PROTOCOL_HEADER();

    std::string init;           // "get_versions" asks for the version report
    std::string id;             // first half of the task key
    std::string tabid;          // second half of the task key
    std::string cmd;            // "GET_RESULT" collects a parked result (HTTP)
    std::string origin;         // first-level session key
    std::string session_id;     // WebSocket: the "tabid" member's JSON text, quotes kept; HTTP: ""
    std::string callback;       // echoed in the reply
    std::string module;         // kept, not interpreted
    std::string m;              // module name of a get_versions request
    std::string use_getresult;  // HTTP: "FALSE" unless the page asked to park the result
    // Not from the JSON: the page the request came from, as its transport saw it (the Origin
    // header; see MakePagePartition). Both stores are divided by it before the "origin" member is
    // looked at, so a page only ever reaches sessions and tasks made by requests of the same page.
    std::string partition;
};

// The partition of a request with the given Origin header (null: the request had none). The
// browser sets that header and a page cannot choose it, unlike the "origin" member. Requests
// without the header share the partition "", so they reach each other's sessions as they always
// did; any header, "null" and an empty value included, gives "=" followed by its value, which can
// never be "".
std::string MakePagePartition(const char* originHeader);
// The partition as log lines show it: the Origin header's value, or "(no Origin header)".
std::string DescribePagePartition(const std::string& partition);

// The outcome of one request: status "TRUE", "RUNNING" or "FALSE", and the module's reply text.
// Both fields are wiped on destruction.
class _PROTOCOL_RESPONSE {
public:
    _PROTOCOL_RESPONSE() = default;
    _PROTOCOL_RESPONSE(const _PROTOCOL_RESPONSE& other);
    // Copies both fields; this is how a finished task hands its result out. The replaced text is
    // wiped first.
    _PROTOCOL_RESPONSE& operator=(const _PROTOCOL_RESPONSE& other);
    virtual ~_PROTOCOL_RESPONSE();

    std::string status;
    std::string reply;
};

// Removes, in place, the first double quote found anywhere in text and then the last double quote
// of what remains. Nothing else changes: escapes, inner quotes and blanks stay. An empty string is
// left alone.
void DeleteQuotes(std::string& text);

// Fill a header from a document parsed from the request text. Members are read as their JSON text
// (strings with quotes and json-c escapes, so a "/" reads "\/"); a member that is missing or null,
// or a document that is not an object, leaves the field at its default. Quotes are stripped at
// the end, except from session_id.
//
// HTTP: "init", "id", "tabid", "cmd", "origin", "callback", "module", "use_getresult" (a failed
// lookup gives "FALSE"), then "m" when init is the JSON string "get_versions". session_id stays "".
void FillProtocolHeaderHTTP(CDM_Json& json, _PROTOCOL_HEADER& header);
// WebSocket: "init", "id", "tabid", "cmd", "origin", "callback", "module"; session_id = tabid as
// read (still quoted); then "m" when init is the JSON string "get_versions". "use_getresult" is
// not read.
void FillProtocolHeaderWS(CDM_Json& json, _PROTOCOL_HEADER& header);
