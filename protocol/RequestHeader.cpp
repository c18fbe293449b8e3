// Reading a request into its record: member lookups in a fixed order per transport, then the
// quotes of the JSON texts removed.
#include "protocol/RequestHeader.h"

#include "support/DM_Json.h"

namespace {

// The one spelling of init that asks for the version report, as json-c writes the string.
const char kQuotedGetVersions[] = "\"get_versions\"";

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
