// Request JSON -> the whole ProcessRequest road of both client interfaces: header filling, task
// creation in the store, the module call through the real bridge to the sample module, the result
// read back (or parked and collected with GET_RESULT), and the reply envelope.
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "fuzz/SampleModule.h"
#include "protocol/HTTPClientIntfHandler.h"
#include "protocol/RequestHeader.h"
#include "protocol/WebSocketClientIntfHandler.h"
#include "support/DM_Json.h"
#include "tasks/HTTPTaskManager.h"
#include "tasks/ProtocolRecords.h"

namespace {

std::unique_ptr<CHTTPClientIntfHandler> g_http;
std::unique_ptr<CWebSocketClientIntfHandler> g_ws;
unsigned g_runs = 0;

// The reply's "response" object as a document; the envelope must always be JSON with that member.
std::string ResponseStatus(const std::string& reply) {
    CDM_Json envelope;
    NV_FUZZ_CHECK(envelope.Parse(reply) == 0);
    std::string response;
    NV_FUZZ_CHECK(envelope.GetValueString("response", response) == 0);
    CDM_Json inner;
    NV_FUZZ_CHECK(inner.Parse(response) == 0);
    std::string status;
    NV_FUZZ_CHECK(inner.GetValueString("status", status) == 0);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nvfuzz::UseSampleModule();
    // The stores close their sessions' module references through the bridge, so they must go
    // before the bridge does at exit: handlers registered now run before the destructors of
    // objects built before main.
    std::atexit([] {
        g_http.reset();
        g_ws.reset();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The module and the task store see the request as a C string.
    const std::string request = nvfuzz::AsText(data, size).c_str();
    if (nvfuzz::WouldDelayTheModule(request))
        return 0;

    if (!g_http || ++g_runs % kMaxSessionsPerPage == 0) {
        // New stores now and then drop the sessions of earlier inputs (one per origin or tab). An
        // input adds at most one session to each store, so the inputs (all of one page: they carry
        // no Origin header) never reach the page's session bound.
        g_http.reset();
        g_ws.reset();
        g_http = std::make_unique<CHTTPClientIntfHandler>();
        g_ws = std::make_unique<CWebSocketClientIntfHandler>();
    }

    CDM_Json json;
    const bool bParsed = json.Parse(request) == 0;
    _PROTOCOL_HEADER header;
    _PROTOCOL_HEADER wsHeader;
    if (bParsed) {
        FillProtocolHeaderHTTP(json, header);
        FillProtocolHeaderWS(json, wsHeader);
    }
    // A key too long for a session is never filed, so such a request is always refused.
    const bool bHttpKeysFit = header.origin.size() <= kMaxSessionKeyBytes;
    const bool bWsKeysFit = wsHeader.origin.size() <= kMaxSessionKeyBytes &&
                            wsHeader.session_id.size() <= kMaxSessionKeyBytes;

    std::string reply;
    NV_FUZZ_CHECK(g_http->ProcessRequest(request, reply) == 0);
    const std::string status = ResponseStatus(reply);
    if (!bParsed) {
        NV_FUZZ_CHECK(status == "\"FALSE\"");
    } else if (header.cmd != "GET_RESULT" && !bHttpKeysFit) {
        NV_FUZZ_CHECK(status == "\"FALSE\"");
    } else if (header.cmd != "GET_RESULT") {
        // A module call made on this thread has finished by the time its reply is built, parked or
        // not: its result is never lost.
        NV_FUZZ_CHECK(status == "\"TRUE\"");
        if (header.use_getresult != "FALSE") {
            // A parked result is collected once, then it is gone.
            CDM_Json rebuilt;
            rebuilt.AddObject("cmd", "GET_RESULT");
            rebuilt.AddObject("id", header.id);
            rebuilt.AddObject("tabid", header.tabid);
            rebuilt.AddObject("origin", header.origin);
            const std::string text = rebuilt.toString();
            std::string again;
            _PROTOCOL_HEADER check;
            CDM_Json reread;
            NV_FUZZ_CHECK(reread.Parse(text) == 0);
            FillProtocolHeaderHTTP(reread, check);
            // Only when the keys survive a round through JSON text unchanged (json-c writes "/" as
            // "\/", which the header keeps) does the collection address the same task.
            if (check.id == header.id && check.tabid == header.tabid &&
                check.origin == header.origin) {
                NV_FUZZ_CHECK(g_http->ProcessRequest(text, again) == 0);
                NV_FUZZ_CHECK(ResponseStatus(again) == "\"TRUE\"");
                again.clear();
                NV_FUZZ_CHECK(g_http->ProcessRequest(text, again) == 0);
                NV_FUZZ_CHECK(ResponseStatus(again) == "\"FALSE\"");
            }
        }
    } else {
        NV_FUZZ_CHECK(status == "\"TRUE\"" || status == "\"FALSE\"");
    }

    std::string wsReply;
    NV_FUZZ_CHECK(g_ws->ProcessRequest(request, wsReply) == 0);
    // Every frame that parses (and whose keys fit a session) is a module call, answered with its
    // result.
    NV_FUZZ_CHECK(ResponseStatus(wsReply) == (bParsed && bWsKeysFit ? "\"TRUE\"" : "\"FALSE\""));
    return 0;
}
