// The records a request and its outcome are held in while the daemon serves it. They live here
// because the task store keys on them; reading a request into one is the protocol's job
// (protocol/RequestHeader.h).
#pragma once

#include <string>

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
    // Takes both fields over without copying a long text; what the source keeps (a short text is
    // copied out of its own buffer) is wiped, and so is the replaced text.
    _PROTOCOL_RESPONSE& operator=(_PROTOCOL_RESPONSE&& other) noexcept;
    virtual ~_PROTOCOL_RESPONSE();

    std::string status;
    std::string reply;
};
