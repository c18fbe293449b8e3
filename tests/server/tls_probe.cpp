// Test program: starts CivetWeb with the daemon's TLS preparation and credential callback on a test
// port and talks to it over TLS, verifying the chain against a given root. It runs as a separate
// process so that tests can start it in a private mount namespace (hiding libssl-dev's symlinks or
// the compatibility libraries) and so that a crash inside CivetWeb shows as a signal, not a dead
// test runner.
//
//   nv_tls_probe serve <port> <root-ca-file>  NV_PrepareTls must succeed; one HTTPS request must
//                                             be answered with a verified chain. Exit 0 when so.
//   nv_tls_probe bare                         mg_init_library(TLS) without the compatibility
//                                             libraries; exit 0 when CivetWeb reports no TLS.
//   nv_tls_probe refuse                       exit 0 when NV_PrepareTls returns 0.
//   nv_tls_probe hidden                       exit 0 when neither "libssl.so" nor "libcrypto.so"
//                                             can be opened by name (the state without libssl-dev).
// Log lines are copied to standard error.
#include <arpa/inet.h>
#include <civetweb.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "server/DMServer.h"
#include "server/TlsCompat.h"
#include "support/DMLog.h"

namespace {

const char kBody[] = "probe-ok";

void LogToStderr(const char* line, void*) {
    std::fprintf(stderr, "log: %s%s", line,
                 line[0] != '\0' && line[std::strlen(line) - 1] == '\n' ? "" : "\n");
}

int BeginRequest(struct mg_connection* conn) {
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n%s",
              std::strlen(kBody), kBody);
    return 1;
}

struct CtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct StopServer {
    void operator()(mg_context* p) const { mg_stop(p); }
};

class CSocket {
public:
    explicit CSocket(int fd) : m_fd(fd) {}
    ~CSocket() {
        if (m_fd >= 0)
            close(m_fd);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// One HTTPS GET to 127.0.0.1:port, the chain verified against `caFile` for the IP 127.0.0.1.
bool FetchOverTls(int port, const char* caFile) {
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), caFile, nullptr) != 1) {
        std::fprintf(stderr, "probe: cannot load %s\n", caFile);
        return false;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.get());  // borrowed from ctx
    X509_VERIFY_PARAM_set1_ip_asc(param, "127.0.0.1");

    CSocket sock(socket(AF_INET, SOCK_STREAM, 0));
    if (sock.Get() < 0)
        return false;
    timeval tv{};
    tv.tv_sec = 30;  // generous: a loaded machine, never a hang
    setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::perror("probe: connect");
        return false;
    }
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), sock.Get()) != 1)
        return false;
    if (SSL_connect(ssl.get()) != 1) {
        std::fprintf(stderr, "probe: handshake failed (verify result %ld)\n",
                     SSL_get_verify_result(ssl.get()));
        ERR_print_errors_fp(stderr);
        return false;
    }
    if (SSL_get_verify_result(ssl.get()) != X509_V_OK)
        return false;

    const char request[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (SSL_write(ssl.get(), request, static_cast<int>(sizeof(request) - 1)) <= 0)
        return false;
    std::string reply;
    char buf[1024];
    int n;
    while ((n = SSL_read(ssl.get(), buf, sizeof(buf))) > 0)
        reply.append(buf, static_cast<size_t>(n));
    std::fprintf(stderr, "probe: reply %zu bytes\n", reply.size());
    return reply.compare(0, 12, "HTTP/1.1 200") == 0 && reply.size() >= sizeof(kBody) - 1 &&
           reply.compare(reply.size() - (sizeof(kBody) - 1), std::string::npos, kBody) == 0;
}

int Serve(int port, const char* caFile) {
    if (NV_PrepareTls() != 1) {
        std::fprintf(stderr, "probe: NV_PrepareTls failed\n");
        return 2;
    }
    mg_callbacks callbacks{};
    callbacks.begin_request = BeginRequest;
    callbacks.init_ssl = MG_InitSSLCB;
    const std::string ports = "127.0.0.1:" + std::to_string(port) + "s";
    const char* options[] = {"listening_ports", ports.c_str(), "num_threads", "2", nullptr};
    std::unique_ptr<mg_context, StopServer> server(mg_start(&callbacks, nullptr, options));
    if (!server) {
        std::fprintf(stderr, "probe: mg_start failed\n");
        return 3;
    }
    return FetchOverTls(port, caFile) ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
    DMLogSetSink(LogToStderr, nullptr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4)
        return Serve(std::atoi(argv[2]), argv[3]);
    if (mode == "bare") {
        const unsigned features = mg_init_library(MG_FEATURES_TLS);
        std::fprintf(stderr, "probe: features 0x%x\n", features);
        return (features & MG_FEATURES_TLS) == 0 ? 0 : 5;
    }
    if (mode == "refuse")
        return NV_PrepareTls() == 0 ? 0 : 6;
    if (mode == "hidden") {
        bool hidden = true;
        for (const char* name : {"libssl.so", "libcrypto.so"}) {
            void* handle = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
            if (handle != nullptr) {
                std::fprintf(stderr, "probe: %s can still be opened\n", name);
                dlclose(handle);
                hidden = false;
            }
        }
        return hidden ? 0 : 7;
    }
    std::fprintf(stderr, "usage: nv_tls_probe serve <port> <ca> | bare | refuse | hidden\n");
    return 64;
}
