// Protocol records and the filling of a request record from a parsed request.
#include "tasks/ProtocolRecords.h"

#include "support/DM_Json.h"
#include "support/Wipe.h"

namespace {

// The one spelling of init that asks for the version report, as json-c writes the string.
const char kQuotedGetVersions[] = "\"get_versions\"";

// Every field but use_getresult may hold page data; use_getresult is only ever a flag.
void WipeHeaderText(_PROTOCOL_HEADER& h) {
    WipeString(h.init);
    WipeString(h.id);
    WipeString(h.tabid);
    WipeString(h.cmd);
    WipeString(h.origin);
    WipeString(h.session_id);
    WipeString(h.callback);
    WipeString(h.module);
    WipeString(h.m);
    WipeString(h.partition);
}

// Members the two transports read alike, in lookup order.
void ReadCommonMembers(CDM_Json& json, _PROTOCOL_HEADER& h) {
    json.GetValueString("init", h.init);
    json.GetValueString("id", h.id);
    json.GetValueString("tabid", h.tabid);
    json.GetValueString("cmd", h.cmd);
    json.GetValueString("origin", h.origin);
    json.GetValueString("callback", h.callback);
    json.GetValueString("module", h.module);
}

// init is compared while it still carries its quotes: only the JSON string get_versions counts,
// not an array or object that merely contains the word.
void ReadModuleNameIfVersionRequest(CDM_Json& json, _PROTOCOL_HEADER& h) {
    if (h.init == kQuotedGetVersions)
        json.GetValueString("m", h.m);
}

void StripCommonQuotes(_PROTOCOL_HEADER& h) {
    DeleteQuotes(h.m);
    DeleteQuotes(h.init);
    DeleteQuotes(h.id);
    DeleteQuotes(h.tabid);
    DeleteQuotes(h.cmd);
    DeleteQuotes(h.origin);
    DeleteQuotes(h.callback);
    DeleteQuotes(h.module);
}

}  // namespace

_PROTOCOL_HEADER::_PROTOCOL_HEADER() : use_getresult("FALSE") {}

_PROTOCOL_HEADER::_PROTOCOL_HEADER(const _PROTOCOL_HEADER& other)
    : init(other.init),
      id(other.id),
      tabid(other.tabid),
      cmd(other.cmd),
      origin(other.origin),
      session_id(other.session_id),
      callback(other.callback),
      module(other.module),
      m(other.m),
      use_getresult(other.use_getresult),
      partition(other.partition) {}

_PROTOCOL_HEADER& _PROTOCOL_HEADER::operator=(const _PROTOCOL_HEADER& other) {
    if (this == &other)
        return *this;
    WipeHeaderText(*this);
    init = other.init;
    id = other.id;
    tabid = other.tabid;
    cmd = other.cmd;
    origin = other.origin;
    session_id = other.session_id;
    callback = other.callback;
    module = other.module;
    m = other.m;
    use_getresult = other.use_getresult;
    partition = other.partition;
    return *this;
}

_PROTOCOL_HEADER::~_PROTOCOL_HEADER() {
    // explicit_bzero underneath, so the writes survive although the strings die right after.
    WipeHeaderText(*this);
}

_PROTOCOL_RESPONSE::_PROTOCOL_RESPONSE(const _PROTOCOL_RESPONSE& other)
    : status(other.status), reply(other.reply) {}

_PROTOCOL_RESPONSE& _PROTOCOL_RESPONSE::operator=(const _PROTOCOL_RESPONSE& other) {
    if (this == &other)
        return *this;
    WipeString(status);
    WipeString(reply);
    status = other.status;
    reply = other.reply;
    return *this;
}

_PROTOCOL_RESPONSE::~_PROTOCOL_RESPONSE() {
    WipeString(status);
    WipeString(reply);
}

void DeleteQuotes(std::string& text) {
    if (text.empty())
        return;
    const std::string::size_type first = text.find('"');
    if (first != std::string::npos)
        text.erase(first, 1);
    const std::string::size_type last = text.rfind('"');
    if (last != std::string::npos)
        text.erase(last, 1);
}

std::string MakePagePartition(const char* originHeader) {
    if (originHeader == nullptr)
        return std::string();
    return std::string("=") + originHeader;
}

std::string DescribePagePartition(const std::string& partition) {
    if (partition.empty())
        return "(no Origin header)";
    return partition.substr(1);
}

void FillProtocolHeaderHTTP(CDM_Json& json, _PROTOCOL_HEADER& header) {
    ReadCommonMembers(json, header);
    if (json.GetValueString("use_getresult", header.use_getresult) != 0)
        header.use_getresult = "FALSE";
    ReadModuleNameIfVersionRequest(json, header);
    StripCommonQuotes(header);
    DeleteQuotes(header.use_getresult);
}

void FillProtocolHeaderWS(CDM_Json& json, _PROTOCOL_HEADER& header) {
    ReadCommonMembers(json, header);
    // The WebSocket session key is the tab id exactly as the page wrote it, quotes included.
    header.session_id = header.tabid;
    ReadModuleNameIfVersionRequest(json, header);
    StripCommonQuotes(header);
}
