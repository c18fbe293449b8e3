// The HTTP client interface.
#include "protocol/HTTPClientIntfHandler.h"

#include "protocol/RequestHeader.h"
#include "support/DM_Json.h"

int CHTTPClientIntfHandler::ProcessRequest(const std::string& request, const char* pageOrigin,
                                           std::string& reply) {
    _PROTOCOL_HEADER header;
    _PROTOCOL_RESPONSE response;
    int code = TASK_RESULT_NONE;
    {
        CDM_Json json;
        if (json.Parse(request) == 0) {
            FillProtocolHeaderHTTP(json, header);
            header.partition = MakePagePartition(pageOrigin);
            // Exact and case-sensitive: "get_result" is an ordinary module call.
            if (header.cmd != "GET_RESULT") {
                // The module runs now, on this thread, and the request answers with its own
                // result, read in the same hold of the store's lock that publishes it: another
                // request with the same keys cannot replace the task, or take its result, in
                // between. The result stays parked only when the page asked for that. A request
                // refused by the store (a session bound) is not run: status "FALSE".
                code =
                    RunTask(header, request, /*bKeep=*/header.use_getresult != "FALSE", response);
            } else {
                // A collection: no task is created and the module is not called.
                code = GetTaskResultAndRemove(header, response);
            }
        }
    }

    if (code == TASK_RESULT_FINISHED) {
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
