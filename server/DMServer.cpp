// CDMServer: port selection, CivetWeb start and stop, the waiting loop of the daemon's main
// thread and the hand-over of stop requests from signal handlers.
#include "server/DMServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <civetweb.h>

#include "server/HttpDispatch.h"  // kNvRequestTimeoutMs only
#include "server/TcpTable.h"
#include "server/TlsCompat.h"
#include "support/DMLog.h"

CDMServer* CDMServer::s_pServer = nullptr;
std::atomic<bool> CDMServer::s_bServerStopped{false};

namespace {

constexpr const char* kListenAddress = "127.0.0.1";
constexpr const char* kTcpTable = "/proc/net/tcp";
constexpr useconds_t kRejectedPortPauseUs = 100000;
// Without a self-pipe the waiting loop polls the stop flag every 300 ms. With one, every stop
// wakes it through the pipe (a wake-up written before the wait begins stays in the pipe, so none
// is lost) and the loop needs no short polling: an idle daemon's main thread then sleeps for a
// minute at a time instead of waking three times a second.
constexpr int kWaitSliceMs = 300;
constexpr int kIdleWaitMs = 60000;

// States of the kernel's TCP table that leave a port usable for a new listener.
constexpr unsigned kStateTimeWait = 0x06;
constexpr unsigned kStateClose = 0x07;

// Self-pipe that wakes the thread waiting in StartDMServer. It is made during static
// initialisation, before main can install any signal handler, so a handler always finds it;
// both ends are non-blocking (a full pipe already holds a wake-up) and close-on-exec.
class CStopPipe {
public:
    CStopPipe() {
        if (pipe2(m_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
            m_nError = errno;
            m_fds[0] = m_fds[1] = -1;
        }
    }
    ~CStopPipe() {
        // Left open: a signal may still arrive while the process runs its exit handlers.
    }
    CStopPipe(const CStopPipe&) = delete;
    CStopPipe& operator=(const CStopPipe&) = delete;

    // Async-signal-safe.
    void Wake() const noexcept {
        if (m_fds[1] < 0)
            return;
        int savedErrno = errno;
        const char byte = 1;
        ssize_t written = write(m_fds[1], &byte, 1);
        (void)written;  // EAGAIN: the pipe is full, so the waiter is woken anyway
        errno = savedErrno;
    }

    // Waits up to timeoutMs for a wake-up, then empties the pipe.
    void Wait(int timeoutMs) const {
        if (m_fds[0] < 0) {
            usleep(static_cast<useconds_t>(timeoutMs) * 1000);
            return;
        }
        struct pollfd pfd {};
        pfd.fd = m_fds[0];
        pfd.events = POLLIN;
        int ready = poll(&pfd, 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            DMlogprint("CDMServer wait: poll failed (%d)\n", errno);
            usleep(static_cast<useconds_t>(timeoutMs) * 1000);
            return;
        }
        char drain[64];
        while (read(m_fds[0], drain, sizeof(drain)) > 0) {
        }
    }

    int Error() const { return m_nError; }

private:
    int m_fds[2] = {-1, -1};
    int m_nError = 0;
};

const CStopPipe g_stopPipe;

// The pending stop request's signal number, 0 when none. Lock-free, so a signal handler may
// store it.
std::atomic<int> g_nStopRequest{0};
std::atomic<CDMServer::StopRoutine> g_stopRoutine{nullptr};
static_assert(std::atomic<int>::is_always_lock_free,
              "stop requests are posted from signal handlers");

}  // namespace

CDMServer::CDMServer(unsigned short port) : m_nPort(port), m_pCtx(nullptr) {}

CDMServer::~CDMServer() {
    StopServer();
}

int CDMServer::StartDMServer(const unsigned short* pPortList, int listCount, unsigned short& port) {
    DMlogprint("CDMServer::StartDMServer Start");
    if (s_pServer != nullptr) {
        DMlogprint("CDMServer::StartDMServer Error = [s_pServer, s_pIO_service is null]");
        return 100;
    }
    if (pPortList == nullptr || listCount <= 0) {
        DMlogprint("CDMServer::StartDMServer Error = [pPortList, listCount is null]");
        return -1;
    }
    if (g_stopPipe.Error() != 0) {
        // Stop requests then still arrive, only with up to one wait slice of delay.
        DMlogprint("CDMServer::StartDMServer pipe2 failed (%d)\n", g_stopPipe.Error());
    }

    bool bFound = false;
    for (int i = 0; i < listCount; ++i) {
        if (IsOpenPossiblePort(kListenAddress, pPortList[i]) == 1) {
            port = pPortList[i];
            bFound = true;
            break;
        }
        usleep(kRejectedPortPauseUs);
    }
    if (!bFound) {
        DMlogprint("CDMServer::StartDMServer Error = [Cannot found possible port.]");
        return -1;
    }
    DMlogprint("CDMServer::StartDMServer Port = [%d]", port);

    // Cleared before the server exists, so that a stop arriving as soon as CivetWeb runs is
    // never overwritten by the start.
    s_bServerStopped.store(false);

    // s_pServer is set before CivetWeb starts, so the callbacks find it from their first call.
    try {
        s_pServer = new (std::nothrow) CDMServer(port);
    } catch (...) {
        s_pServer = nullptr;
    }
    if (s_pServer == nullptr) {
        DMlogprint("CDMServer::StartDMServer Error = [s_pServer does not new]");
    } else if (s_pServer->StartServer() == 0) {
        DMlogprint("CDMServer::StartDMServer s_pServer->StartDMServer() ERROR!!");
    } else {
        DMlogprint("CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!");
        while (!s_bServerStopped.load()) {
            g_stopPipe.Wait(g_stopPipe.Error() == 0 ? kIdleWaitMs : kWaitSliceMs);
            RunPendingStopRequest();
        }
        return 0;
    }

    if (s_pServer != nullptr) {
        delete s_pServer;  // its destructor stops CivetWeb if it had started
        s_pServer = nullptr;
    }
    DMlogprint("CDMServer::StartDMServer ERROR!!");
    return -1;
}

void CDMServer::StopDMServer() {
    if (s_pServer == nullptr)
        return;
    // CivetWeb is stopped (all of its threads have ended) before the object is deleted, so no
    // callback can run against a deleted server.
    s_pServer->StopServer();
    delete s_pServer;
    s_pServer = nullptr;
    DMlogprint("Delete server.");
    s_bServerStopped.store(true);
    g_stopPipe.Wake();
}

void CDMServer::RequestStop(int signo) noexcept {
    if (signo <= 0)
        return;
    g_nStopRequest.store(signo);
    g_stopPipe.Wake();
}

void CDMServer::SetStopRoutine(StopRoutine routine) noexcept {
    g_stopRoutine.store(routine);
}

bool CDMServer::RunPendingStopRequest() {
    int signo = g_nStopRequest.exchange(0);
    if (signo == 0)
        return false;
    StopRoutine routine = g_stopRoutine.load();
    if (routine != nullptr) {
        routine(signo);
    } else {
        StopDMServer();
    }
    return true;
}

int CDMServer::StartServer() {
    if (m_pCtx != nullptr)
        return 1;

    // The trailing "s" makes CivetWeb serve TLS on the port, with the credentials that
    // MG_InitSSLCB installs.
    char szListeningPort[128];
    std::snprintf(szListeningPort, sizeof(szListeningPort), "127.0.0.1:%us",
                  static_cast<unsigned>(m_nPort));
    // The body reader's own deadline uses the same number (kNvRequestTimeoutMs).
    char szRequestTimeout[32];
    std::snprintf(szRequestTimeout, sizeof(szRequestTimeout), "%lld", kNvRequestTimeoutMs);
    const char* options[] = {
        "listening_ports",
        szListeningPort,
        "enable_directory_listing",
        "no",
        "enable_keep_alive",
        "yes",
        "keep_alive_timeout_ms",
        "100000",
        "num_threads",
        "25",
        "request_timeout_ms",
        szRequestTimeout,
        // CivetWeb writes a WebSocket frame's header and payload as separate TLS records; with
        // Nagle's algorithm the second waits for the peer's delayed ACK, about 40 ms per reply.
        "tcp_nodelay",
        "1",
        nullptr,
    };

    // CivetWeb without a working TLS library starts but crashes at the first handshake, so no
    // server is started in that state (NV_PrepareTls logs why).
    if (NV_PrepareTls() == 0)
        return 0;

    struct mg_callbacks callbacks;
    std::memset(&callbacks, 0, sizeof(callbacks));
    callbacks.begin_request = MG_RequestHandlerCB;
    callbacks.log_message = MG_LogMessageCB;
    callbacks.init_ssl = MG_InitSSLCB;

    m_pCtx = mg_start(&callbacks, nullptr, options);
    if (m_pCtx == nullptr)
        return 0;
    // This CivetWeb has no WebSocket entries in the callback record. "**" matches every path (the
    // query stays in query_string); begin_request still sees the handshake first and returns 0
    // for it, so CivetWeb answers the handshake and these callbacks take over the connection.
    mg_set_websocket_handler(m_pCtx, "**", MG_WebSocketConnectCB, MG_WebSocketReadyCB,
                             MG_WebSocketDataCB,
                             /*close_handler=*/nullptr, /*cbdata=*/nullptr);
    return 1;
}

void CDMServer::StopServer() {
    if (m_pCtx == nullptr)
        return;
    mg_stop(m_pCtx);  // returns after CivetWeb's own threads have ended
    m_pCtx = nullptr;
}

void CDMServer::HandleRequest(const char* request, const char* pageOrigin, std::string& reply) {
    m_RequestHandler.handle_request(request, pageOrigin, reply);
}

void CDMServer::HandleRequestWS(const char* request, const char* pageOrigin, std::string& reply) {
    m_RequestHandler.handle_request_WS(request, pageOrigin, reply);
}

int IsOpenPossiblePort(const char* address, unsigned short port) {
    return IsOpenPossiblePort(address, port, kTcpTable);
}

int IsOpenPossiblePort(const char* address, unsigned short port, const char* tablePath) {
    struct in_addr addr {};
    if (address == nullptr || inet_pton(AF_INET, address, &addr) != 1)
        return -1;

    // The table prints each address as the 32-bit value in the kernel's byte order, so it is
    // compared with the network-order address read as a host integer (127.0.0.1 is 0100007F
    // on a little-endian machine).
    const uint32_t wanted = static_cast<uint32_t>(addr.s_addr);
    int result = 1;  // an unreadable table counts as free
    ForEachTcpTableRow(tablePath, [&](const TcpTableRow& row) {
        if (row.bIPv6 || row.localPort != port)
            return true;
        if (row.localAddr[0] != 0 && row.localAddr[0] != wanted)
            return true;
        // The first socket on this port and address decides.
        if (row.state != kStateTimeWait && row.state != kStateClose)
            result = 0;
        return false;
    });
    return result;
}
