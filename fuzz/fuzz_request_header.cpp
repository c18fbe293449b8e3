// Request text -> request header: the JSON document's parse and member lookups, the header filling
// of both transports, and the quote removal they end with.
#include <algorithm>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "protocol/RequestHeader.h"
#include "support/DM_Json.h"
#include "tasks/ProtocolRecords.h"

namespace {

std::size_t Quotes(const std::string& s) {
    return static_cast<std::size_t>(std::count(s.begin(), s.end(), '"'));
}

std::string WithoutQuotes(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '"'), s.end());
    return s;
}

// DeleteQuotes removes the first double quote and then the last one of what remains, nothing else.
void CheckDeleteQuotes(const std::string& text) {
    std::string s = text;
    DeleteQuotes(s);
    NV_FUZZ_CHECK(WithoutQuotes(s) == WithoutQuotes(text));
    NV_FUZZ_CHECK(Quotes(text) - Quotes(s) == std::min<std::size_t>(Quotes(text), 2));
    if (Quotes(text) > 0) {
        // The first quote goes: what stood before it is still in front.
        std::size_t first = text.find('"');
        NV_FUZZ_CHECK(s.compare(0, first, text, 0, first) == 0);
    }
}

void CheckSameFields(const _PROTOCOL_HEADER& a, const _PROTOCOL_HEADER& b) {
    NV_FUZZ_CHECK(a.init == b.init);
    NV_FUZZ_CHECK(a.id == b.id);
    NV_FUZZ_CHECK(a.tabid == b.tabid);
    NV_FUZZ_CHECK(a.cmd == b.cmd);
    NV_FUZZ_CHECK(a.origin == b.origin);
    NV_FUZZ_CHECK(a.callback == b.callback);
    NV_FUZZ_CHECK(a.module == b.module);
    NV_FUZZ_CHECK(a.m == b.m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = nvfuzz::AsText(data, size);
    CheckDeleteQuotes(text);

    CDM_Json json;
    const int parsed = json.Parse(text);
    NV_FUZZ_CHECK(parsed == 0 || parsed == -1);
    if (parsed != 0) {
        NV_FUZZ_CHECK(json.toString().empty());
        return 0;
    }

    _PROTOCOL_HEADER http;
    _PROTOCOL_HEADER ws;
    FillProtocolHeaderHTTP(json, http);
    FillProtocolHeaderWS(json, ws);

    // Both transports read the same members the same way; only session_id and use_getresult differ.
    CheckSameFields(http, ws);
    NV_FUZZ_CHECK(http.session_id.empty());
    NV_FUZZ_CHECK(ws.use_getresult == "FALSE");
    // The WebSocket session is the tabid member as read, quotes kept.
    std::string session = ws.session_id;
    DeleteQuotes(session);
    NV_FUZZ_CHECK(session == ws.tabid);
    // The module name is read only for a version request.
    if (!http.m.empty())
        NV_FUZZ_CHECK(http.init == "get_versions");

    _PROTOCOL_HEADER copy(http);
    CheckSameFields(copy, http);
    NV_FUZZ_CHECK(copy.use_getresult == http.use_getresult && copy.session_id == http.session_id);
    _PROTOCOL_HEADER assigned;
    assigned = ws;
    CheckSameFields(assigned, ws);

    // The text form of a parsed document is JSON again. (It need not read back to the same text:
    // json-c writes a number such as 4444444444444444444444e as its digits, which then read back as
    // an integer that saturates.)
    const std::string form = json.toString();
    CDM_Json again;
    NV_FUZZ_CHECK(again.Parse(form) == 0);

    // Lookups of the members a request may carry never disturb the document.
    std::string value;
    for (const char* key :
         {"init", "id", "tabid", "cmd", "origin", "callback", "module", "m", "use_getresult", ""}) {
        std::string before = value;
        if (json.GetValueString(key, value) != 0)
            NV_FUZZ_CHECK(value == before);
    }
    NV_FUZZ_CHECK(json.toString() == form);
    return 0;
}
