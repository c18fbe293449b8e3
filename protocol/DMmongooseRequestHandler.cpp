// The request handler's entry points. Still being built: no client interface answers yet, so the
// reply stays empty on both roads.
#include "protocol/DMmongooseRequestHandler.h"

void CDMmongooseRequestHandler::handle_request(const char* text, std::string& out) {
    (void)text;
    (void)out;
}

void CDMmongooseRequestHandler::handle_request_WS(const char* text, std::string& out) {
    (void)text;
    (void)out;
}
