// The daemon's embedded HTTPS/WSS server: port selection on 127.0.0.1, the CivetWeb context and
// the request handler the CivetWeb callbacks hand request text to, and the callbacks themselves.
//
// Inside server/ the includes point one way: the callbacks (MongooseCallbacks.cpp) include this
// header and those of the HTTP dispatch, the WebSocket endpoint and the TLS credentials; those
// never include this header (they reach the server through IDMRequestSink), and this one's source
// includes none of theirs but the dispatch's limits.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "protocol/DMmongooseRequestHandler.h"
#include "server/RequestSink.h"

struct mg_connection;
struct mg_context;

// CDMServer owns the one CivetWeb context of the process and the request handler. The object is
// a singleton reached through s_pServer: StartDMServer creates it before CivetWeb starts (so the
// callbacks find it from their first call) and StopDMServer deletes it only after CivetWeb's
// threads have ended. StartDMServer and StopDMServer run on the daemon's main thread; the
// CivetWeb callbacks read s_pServer without a lock from CivetWeb's worker threads.
//
// Stop requests from signal handlers: a handler may run on any thread, a CivetWeb worker
// included, so it must not stop the server itself. It calls RequestStop, which only records the
// request and wakes the thread waiting in StartDMServer; that thread then runs the stop routine
// (or StopDMServer when none is set).
class CDMServer : public IDMRequestSink {
public:
    explicit CDMServer(unsigned short port);
    virtual ~CDMServer();
    CDMServer(const CDMServer&) = delete;
    CDMServer& operator=(const CDMServer&) = delete;

    // Picks the first free port of pPortList on 127.0.0.1, creates s_pServer, starts CivetWeb
    // with TLS and blocks until the server is stopped. Returns 0 after a stop, 100 when a server
    // already exists, -1 on any failure; port receives the chosen port.
    static int StartDMServer(const unsigned short* pPortList, int listCount, unsigned short& port);
    // Stops CivetWeb, deletes s_pServer and ends the wait of StartDMServer. Nothing happens (and
    // nothing is logged) when there is no server.
    static void StopDMServer();

    // Async-signal-safe: records a stop request (signo > 0) and wakes the waiting thread.
    static void RequestStop(int signo) noexcept;
    // Routine the waiting thread runs for a stop request, with the request's signal number. It
    // is expected to call StopDMServer; it may end the process. Null restores the default
    // (StopDMServer alone).
    using StopRoutine = void (*)(int signo);
    static void SetStopRoutine(StopRoutine routine) noexcept;
    // Runs the stop routine for a request that arrived while no thread was waiting (for example
    // while a start was failing). Returns true when a request was pending.
    static bool RunPendingStopRequest();

    // 1 when CivetWeb started, 0 when it did not.
    int StartServer();
    // Stops CivetWeb (returns after its threads have ended); a second call does nothing.
    void StopServer();

    // Forward the request text unchanged to the request handler. HandleRequest's reply is a
    // complete HTTP response; HandleRequestWS's is the text of one WebSocket message.
    void HandleRequest(const char* request, const char* pageOrigin, std::string& reply) override;
    void HandleRequestWS(const char* request, const char* pageOrigin, std::string& reply) override;

    unsigned short Port() const { return m_nPort; }

    static CDMServer* s_pServer;
    static std::atomic<bool> s_bServerStopped;

private:
    const unsigned short m_nPort;
    mg_context* m_pCtx;
    CDMmongooseRequestHandler m_RequestHandler;
};

// 1 when the port may be used on the dotted IPv4 address, 0 when the kernel's IPv4 TCP table
// shows it taken there (or on every address), -1 when the address is missing or not dotted IPv4.
// Sockets in TIME_WAIT or CLOSE leave the port free. Reads /proc/net/tcp; an unreadable table
// counts as free.
int IsOpenPossiblePort(const char* address, unsigned short port);
// The same, reading the table from tablePath (tests hand it crafted tables).
int IsOpenPossiblePort(const char* address, unsigned short port, const char* tablePath);

// CivetWeb's callbacks, all in MongooseCallbacks.cpp. Each reads s_pServer where it needs the
// server, returns its failure code when there is none, stops anything thrown (CivetWeb is C) and
// makes one call into the C++ code behind it.

// begin_request: 1 when the request was answered here, 0 when CivetWeb is to go on with it
// (WebSocket handshakes and methods other than GET and POST), -1 when no server exists.
int MG_RequestHandlerCB(struct mg_connection* conn);
// log_message: logs "[MONGOOSE] <message>" and returns 0.
int MG_LogMessageCB(const mg_connection* conn, const char* message);
// init_ssl: installs certificate and key from the credential file. 1 when both are in the
// context, -1 otherwise (CivetWeb's start then fails: no server without the certificate). It needs
// no server object, so the TLS probe and the benchmarks' baseline server use it alone.
int MG_InitSSLCB(void* ssl_ctx, void* user_data);
// The WebSocket callbacks, registered once after mg_start with mg_set_websocket_handler(ctx, "**",
// ...), so that a handshake on any path reaches them; cbdata is unused (null). Connect returns 0
// (no handshake is refused here); data returns 1 to keep the connection, 0 to have CivetWeb close it.
int MG_WebSocketConnectCB(const struct mg_connection* conn, void* cbdata);
void MG_WebSocketReadyCB(struct mg_connection* conn, void* cbdata);
int MG_WebSocketDataCB(struct mg_connection* conn, int bits, char* data, std::size_t dataLen,
                       void* cbdata);
