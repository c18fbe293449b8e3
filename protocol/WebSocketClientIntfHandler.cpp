// The WebSocket client interface.
#include "protocol/WebSocketClientIntfHandler.h"

#include "protocol/RequestHeader.h"
#include "support/DM_Json.h"

int CWebSocketClientIntfHandler::ProcessRequest(const std::string& request, const char* pageOrigin,
                                                std::string& reply) {
    _PROTOCOL_HEADER header;
    _PROTOCOL_RESPONSE response;
    int code = TASK_RESULT_NONE;
    {
        CDM_Json json;
        if (json.Parse(request) == 0) {
            // session_id is the quoted "tabid": each tab of a page has a session of its own.
            FillProtocolHeaderWS(json, header);
            header.partition = MakePagePartition(pageOrigin);
            // Every frame is a module call; "GET_RESULT" is nothing special here. A frame refused
            // by the store (a session bound) is not run: status "FALSE".
            // The module runs now, on this thread. A task lives only for its frame: it is
            // removed as its result is read, in the hold of the store's lock that publishes it.
            code = RunTask(header, request, /*bKeep=*/false, response);
        }
    }

    if (code == TASK_RESULT_FINISHED) {
        response.status = "TRUE";
    } else {
        // There is no "RUNNING" answer over WebSocket.
        response.status = "FALSE";
        response.reply.clear();
    }

    reply = MakeResponse(header, response);
    return 0;
}
