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
            if (CreateTask(header, request) == 0) {
                ProcessTask(header);  // the module runs now, on this thread
                // A task lives only for its frame: it is removed as its result is read, in one
                // hold of the store's lock. A task still running under these keys belongs to
                // another frame that reused them (ours has finished) and is left to that frame.
                code = GetTaskResultAndRemove(header, response);
            }
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
