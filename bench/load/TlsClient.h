// TLS client plumbing shared by the load modes: RAII owners for OpenSSL objects and sockets, a
// client context, and a blocking connection used by the sequential modes (store-size latency,
// start-up probe, reply capture).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "bench/load/Protocol.h"

namespace nvbench {

struct SslCtxDeleter {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslDeleter {
    void operator()(SSL* p) const { SSL_free(p); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;

// Owns one file descriptor.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

// Client context: no certificate verification unless caFile is given (the benchmark measures the
// server; a verifying client is available to check that the right certificate is served), and no
// session cache, so every new connection is a full handshake.
SslCtxPtr MakeClientContext(const std::string& caFile);

// Starts a TCP connection to host:port. With nonBlocking the socket is non-blocking and the connect
// may still be in progress. Returns -1 on failure.
int StartTcpConnect(const std::string& host, int port, bool nonBlocking);

// Sets SO_LINGER 0 so that closing sends a reset and leaves no TIME_WAIT entry behind; the
// handshake scenario opens tens of thousands of connections in a few seconds.
void SetAbortiveClose(int fd);

// Blocking TLS connection with socket time-outs; every operation fails instead of hanging.
class CSyncConn {
public:
    CSyncConn(SSL_CTX* ctx, std::string host, int port)
        : m_ctx(ctx), m_host(std::move(host)), m_port(port) {}
    bool Connect(int timeoutMs);
    bool SendAll(const std::string& data);
    // Reads one complete HTTP response; raw receives its bytes, body its body.
    bool ReadHttp(HttpResponse& res, std::string& raw, std::string& body);
    bool Upgrade(const std::string& path);
    bool SendText(const std::string& text);
    // Reads one frame; payload receives its payload.
    bool ReadFrame(int& opcode, std::string& payload);
    void Close();
    bool IsOpen() const { return m_ssl != nullptr; }
    std::string HostHeader() const { return m_host + ":" + std::to_string(m_port); }
    const std::string& LastError() const { return m_error; }

private:
    bool Fill();

    SSL_CTX* m_ctx;  // borrowed: owned by the caller for the life of the connection
    std::string m_host;
    int m_port;
    CFd m_fd;
    SslPtr m_ssl;
    std::string m_in;
    std::string m_error;
    std::uint32_t m_mask = 0x2545F491;
};

}  // namespace nvbench
