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
            // A finished task is removed in the same hold of the store's lock that reads its
            // result: removing it by a later, separate call could instead wait for and delete a
            // task that another request with the same keys has filed in between, losing its result.
            // Exact and case-sensitive: "get_result" is an ordinary module call.
            if (header.cmd != "GET_RESULT") {
                // A request refused by the store (a session bound) is not run: status "FALSE".
                if (CreateTask(header, request) == 0) {
                    ProcessTask(header);  // the module runs now, on this thread
                    // The result stays parked only when the page asked for that.
                    code = header.use_getresult == "FALSE"
                               ? GetTaskResultAndRemove(header, response)
                               : GetTaskResult(header, response);
                }
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
