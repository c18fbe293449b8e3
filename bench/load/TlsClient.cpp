// TLS client plumbing of the load client.
#include "bench/load/TlsClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nvbench {

void CFd::Reset(int fd) {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

SslCtxPtr MakeClientContext(const std::string& caFile) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        return ctx;
    }
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    if (caFile.empty()) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        if (SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1) {
            return SslCtxPtr();
        }
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    }
    return ctx;
}

int StartTcpConnect(const std::string& host, int port, bool nonBlocking) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        return -1;
    }
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
        !(nonBlocking && errno == EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SetAbortiveClose(int fd) {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
}

bool CSyncConn::Connect(int timeoutMs) {
    Close();
    m_fd.Reset(StartTcpConnect(m_host, m_port, /*nonBlocking=*/false));
    if (m_fd.Get() < 0) {
        m_error = std::string("connect: ") + std::strerror(errno);
        return false;
    }
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    m_ssl.reset(SSL_new(m_ctx));
    if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd.Get()) != 1) {
        m_error = "SSL_new failed";
        Close();
        return false;
    }
    if (SSL_connect(m_ssl.get()) != 1) {
        char buf[256];
        ERR_error_string_n(ERR_get_error(), buf, sizeof(buf));
        m_error = std::string("TLS handshake: ") + buf;
        ERR_clear_error();
        Close();
        return false;
    }
    return true;
}

bool CSyncConn::SendAll(const std::string& data) {
    if (!m_ssl) {
        return false;
    }
    if (SSL_write(m_ssl.get(), data.data(), static_cast<int>(data.size())) <= 0) {
        m_error = "write failed";
        ERR_clear_error();
        return false;
    }
    return true;
}

bool CSyncConn::Fill() {
    char buf[16384];
    const int n = SSL_read(m_ssl.get(), buf, sizeof(buf));
    if (n <= 0) {
        m_error = SSL_get_error(m_ssl.get(), n) == SSL_ERROR_ZERO_RETURN
                      ? "closed by peer"
                      : "read failed or timed out";
        ERR_clear_error();
        return false;
    }
    m_in.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool CSyncConn::ReadHttp(HttpResponse& res, std::string& raw, std::string& body) {
    if (!m_ssl) {
        return false;
    }
    for (;;) {
        res = ParseHttpResponse(m_in);
        if (res.malformed) {
            m_error = "malformed HTTP response";
            return false;
        }
        if (res.complete) {
            raw = m_in.substr(0, res.totalLength);
            body = m_in.substr(res.bodyOffset, res.totalLength - res.bodyOffset);
            m_in.erase(0, res.totalLength);
            return true;
        }
        if (!Fill()) {
            return false;
        }
    }
}

bool CSyncConn::Upgrade(const std::string& path) {
    if (!SendAll(BuildUpgradeRequest(HostHeader(), path))) {
        return false;
    }
    HttpResponse res;
    std::string raw;
    std::string body;
    if (!ReadHttp(res, raw, body)) {
        return false;
    }
    if (res.status != 101) {
        m_error = "upgrade answered with status " + std::to_string(res.status);
        return false;
    }
    return true;
}

bool CSyncConn::SendText(const std::string& text) {
    m_mask = m_mask * 1103515245u + 12345u;
    return SendAll(BuildClientFrame(1, text, m_mask));
}

bool CSyncConn::ReadFrame(int& opcode, std::string& payload) {
    if (!m_ssl) {
        return false;
    }
    for (;;) {
        const WsFrame fr = ParseServerFrame(m_in);
        if (fr.malformed) {
            m_error = "malformed frame";
            return false;
        }
        if (fr.complete) {
            opcode = fr.opcode;
            payload = m_in.substr(fr.payloadOffset, fr.payloadLength);
            m_in.erase(0, fr.totalLength);
            return true;
        }
        if (!Fill()) {
            return false;
        }
    }
}

void CSyncConn::Close() {
    if (m_ssl) {
        SSL_shutdown(m_ssl.get());
        ERR_clear_error();
    }
    m_ssl.reset();
    m_fd.Reset();
    m_in.clear();
}

}  // namespace nvbench
