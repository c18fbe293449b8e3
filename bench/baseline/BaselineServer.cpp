// nv_bench_baseline: the ceiling our stack can reach. Bare CivetWeb with exactly the daemon's
// options and TLS credentials, answering every POST with one fixed, complete HTTP response of the
// size the daemon sends, and echoing WebSocket text frames. The daemon's benchmark figures are
// reported as ratios to this server's.
//
//   nv_bench_baseline [--port 5441] [--reply-file RAW_HTTP_RESPONSE | --reply-bytes N]
//                     [--ws-reply-file TEXT] [--option NAME=VALUE ...]
//
// --option adds a CivetWeb option after the daemon's list (a later value of the same name wins);
// it exists for experiments, for instance tcp_nodelay=0 to see what Nagle's algorithm costs the
// WebSocket replies, and makes the server differ from the daemon.
// Runs until SIGINT or SIGTERM. The main thread waits in sigwait, so apart from CivetWeb's own
// threads nothing in this process wakes while it is idle.
#include <civetweb.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "server/DMServer.h"
#include "server/TlsCompat.h"

namespace {

const char kProbeAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
    "close\r\n\r\n";
const char kRejection[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: "
    "*\r\nConnection: close\r\n\r\n";

// Set once in main before CivetWeb starts; read-only afterwards.
std::string g_httpReply;
std::string g_wsReply;  // empty: echo the frame

// A complete response framed like the daemon's, with a body of the given size.
std::string MakeFixedReply(std::size_t bodyBytes) {
    std::string body = "{ \"response\": { \"reply\": \"";
    if (bodyBytes > body.size() + 4) {
        body.append(bodyBytes - body.size() - 4, 'x');
    }
    body += "\" } }";
    return "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Headers: "
           "Content-Type\r\nAccess-Control-Allow-Origin: *\r\n"
           "Access-Control-Max-Age: 10000\r\nContent-Type: text/html;charset=UTF-8\r\nVary: "
           "Accept-Encoding\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool ReadWholeFile(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool HeaderContains(mg_connection* conn, const char* name, const char* word) {
    const char* v = mg_get_header(conn, name);
    if (v == nullptr) {
        return false;
    }
    std::string lower(v);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower.find(word) != std::string::npos;
}

// The same handshake recognition the daemon does before leaving the upgrade to CivetWeb.
bool IsWebSocketUpgrade(mg_connection* conn) {
    return mg_get_header(conn, "Host") != nullptr &&
           mg_get_header(conn, "Sec-WebSocket-Key") != nullptr &&
           mg_get_header(conn, "Sec-WebSocket-Version") != nullptr &&
           HeaderContains(conn, "Upgrade", "websocket") &&
           HeaderContains(conn, "Connection", "upgrade");
}

int BeginRequest(mg_connection* conn) {
    try {
        const mg_request_info* ri = mg_get_request_info(conn);
        if (ri == nullptr || IsWebSocketUpgrade(conn)) {
            return 0;
        }
        if (std::strcmp(ri->request_method, "GET") == 0) {
            mg_printf(conn, "%s",
                      ri->query_string != nullptr && ri->query_string[0] != '\0' ? kProbeAnswer
                                                                                 : kRejection);
            return 1;
        }
        if (std::strcmp(ri->request_method, "POST") != 0) {
            return 0;
        }
        const char* cl = mg_get_header(conn, "Content-Length");
        const int length = cl != nullptr ? std::atoi(cl) : 0;
        if (length <= 0) {
            mg_printf(conn, "%s", kRejection);
            return 1;
        }
        std::vector<char> body(static_cast<std::size_t>(length) + 1, '\0');
        if (mg_read(conn, body.data(), static_cast<std::size_t>(length)) <= 0) {
            mg_printf(conn, "%s", kRejection);
            return 1;
        }
        mg_write(conn, g_httpReply.data(), g_httpReply.size());
        return 1;
    } catch (...) {
        return 1;
    }
}

int LogMessage(const mg_connection*, const char*) {
    return 0;
}

int WsConnect(const mg_connection*, void*) {
    return 0;
}

void WsReady(mg_connection*, void*) {}

int WsData(mg_connection* conn, int bits, char* data, std::size_t len, void*) {
    switch (bits & 0x0F) {
        case MG_WEBSOCKET_OPCODE_TEXT:
            if (g_wsReply.empty()) {
                mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, data, len);
            } else {
                mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, g_wsReply.data(),
                                   g_wsReply.size());
            }
            return 1;
        case MG_WEBSOCKET_OPCODE_PING:
            mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_PONG, "{}", 2);
            return 1;
        case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE:
            return 0;
        default:
            return 1;
    }
}

void WsClose(const mg_connection*, void*) {}

struct ContextStopper {
    void operator()(mg_context* ctx) const { mg_stop(ctx); }
};

}  // namespace

int main(int argc, char** argv) {
    unsigned port = 5441;
    std::size_t replyBytes = 400;
    const char* replyFile = nullptr;
    const char* wsReplyFile = nullptr;
    std::vector<std::string> extra;  // name, value, name, value, ...
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(
                stderr,
                "usage: %s [--port N] [--reply-file F | --reply-bytes N] [--ws-reply-file F] "
                "[--option NAME=VALUE]\n",
                argv[0]);
            return 2;
        }
        if (a == "--port") {
            port = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--reply-bytes") {
            replyBytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--reply-file") {
            replyFile = argv[++i];
        } else if (a == "--ws-reply-file") {
            wsReplyFile = argv[++i];
        } else if (a == "--option") {
            const std::string nv = argv[++i];
            const std::size_t eq = nv.find('=');
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(stderr, "--option needs NAME=VALUE\n");
                return 2;
            }
            extra.push_back(nv.substr(0, eq));
            extra.push_back(nv.substr(eq + 1));
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (replyFile != nullptr) {
        if (!ReadWholeFile(replyFile, g_httpReply) || g_httpReply.compare(0, 5, "HTTP/") != 0) {
            std::fprintf(stderr, "%s does not hold an HTTP response\n", replyFile);
            return 2;
        }
    } else {
        g_httpReply = MakeFixedReply(replyBytes);
    }
    if (wsReplyFile != nullptr && (!ReadWholeFile(wsReplyFile, g_wsReply) || g_wsReply.empty())) {
        std::fprintf(stderr, "cannot read %s\n", wsReplyFile);
        return 2;
    }

    // Stop signals are taken by sigwait on the main thread; block them before CivetWeb starts its
    // threads so that they inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Debian's CivetWeb needs the compatibility TLS libraries loaded first, exactly as in the daemon.
    if (NV_PrepareTls() != 1) {
        std::fprintf(stderr, "TLS is not available to CivetWeb\n");
        return 1;
    }
    char listening[128];
    std::snprintf(listening, sizeof(listening), "127.0.0.1:%us", port);
    // The daemon's option list, in the daemon's order.
    std::vector<const char*> options = {
        "listening_ports",   listening, "enable_directory_listing", "no",
        "enable_keep_alive", "yes",     "keep_alive_timeout_ms",    "100000",
        "num_threads",       "25",      "request_timeout_ms",       "30000",
        "tcp_nodelay",       "1"};
    for (const std::string& e : extra) {
        options.push_back(e.c_str());
    }
    options.push_back(nullptr);
    mg_callbacks callbacks{};
    callbacks.begin_request = BeginRequest;
    callbacks.log_message = LogMessage;
    callbacks.init_ssl = MG_InitSSLCB;  // the daemon's certificate and key
    std::unique_ptr<mg_context, ContextStopper> ctx(mg_start(&callbacks, nullptr, options.data()));
    if (!ctx) {
        std::fprintf(stderr, "CivetWeb did not start on %s\n", listening);
        return 1;
    }
    mg_set_websocket_handler(ctx.get(), "**", WsConnect, WsReady, WsData, WsClose, nullptr);
    std::printf(
        "baseline listening on %s (HTTP reply %zu bytes, WebSocket %s, %zu extra options)\n",
        listening, g_httpReply.size(), g_wsReply.empty() ? "echo" : "fixed reply",
        extra.size() / 2);
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    ctx.reset();  // mg_stop returns after CivetWeb's threads have ended
    return 0;
}
