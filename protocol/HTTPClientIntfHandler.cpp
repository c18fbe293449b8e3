// The HTTP client interface.
#include "protocol/HTTPClientIntfHandler.h"

#include "support/DM_Json.h"

int CHTTPClientIntfHandler::ProcessRequest(const std::string& request, std::string& reply) {
    _PROTOCOL_HEADER header;
    _PROTOCOL_RESPONSE response;
    int code = TASK_RESULT_NONE;
    bool removeWhenFinished = false;
    {
        CDM_Json json;
        if (json.Parse(request) == 0) {
            FillProtocolHeaderHTTP(json, header);
            // Exact and case-sensitive: "get_result" is an ordinary module call.
            if (header.cmd != "GET_RESULT") {
                CreateTask(header, request);
                ProcessTask(header);  // the module runs now, on this thread
                code = GetTaskResult(header, response);
                // The result stays parked only when the page asked for that.
                removeWhenFinished = code == TASK_RESULT_FINISHED && header.use_getresult == "FALSE";
            } else {
                // A collection: no task is created and the module is not called.
                removeWhenFinished = true;
                code = GetTaskResult(header, response);
            }
        }
    }

    if (code == TASK_RESULT_FINISHED) {
        if (removeWhenFinished) RemoveTask(header);
        response.status = "TRUE";
    } else if (code == TASK_RESULT_RUNNING) {
        response.status = "RUNNING";
        response.reply.clear();
    } else {
        response.status = "FALSE";
        response.reply.clear();
    }

    reply = MakeResponse(header, response);
    return 0;
}
