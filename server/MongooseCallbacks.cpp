// CivetWeb's callbacks into the server. Each stays a few lines: it converts CivetWeb's arguments
// and makes one call into C++, and no exception may leave it (CivetWeb is C).
#include <civetweb.h>

#include "server/DMServer.h"
#include "support/DMLog.h"

// CivetWeb goes on with its own error logging after a 0, and that writes nothing because no
// error log file is configured.
int MG_LogMessageCB(const mg_connection* conn, const char* message) {
    (void)conn;
    try {
        DMlogprint("[MONGOOSE] %s", message != nullptr ? message : "");
    } catch (...) {
    }
    return 0;
}
