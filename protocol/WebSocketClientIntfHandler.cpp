// The WebSocket client interface.
#include "protocol/WebSocketClientIntfHandler.h"

#include "support/DM_Json.h"

int CWebSocketClientIntfHandler::ProcessRequest(const std::string& request, std::string& reply) {
    _PROTOCOL_HEADER header;
    _PROTOCOL_RESPONSE response;
    int code = TASK_RESULT_NONE;
    bool taskCreated = false;
    {
        CDM_Json json;
        if (json.Parse(request) == 0) {
            // session_id is the quoted "tabid": each tab of a page has a session of its own.
            FillProtocolHeaderWS(json, header);
            // Every frame is a module call; "GET_RESULT" is nothing special here.
            CreateTask(header, request);
            taskCreated = true;
            ProcessTask(header);  // the module runs now, on this thread
            code = GetTaskResult(header, response);
        }
    }

    if (code == TASK_RESULT_FINISHED) {
        response.status = "TRUE";
    } else {
        // There is no "RUNNING" answer over WebSocket.
        response.status = "FALSE";
        response.reply.clear();
    }

    // A task lives only for its frame. A frame that was not JSON created none, and its default
    // keys must not take away the task of another frame that happens to run under empty keys.
    if (taskCreated) RemoveTask(header);

    reply = MakeResponse(header, response);
    return 0;
}
