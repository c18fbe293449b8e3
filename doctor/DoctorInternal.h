// Pieces shared between the checks of nv-doctor: the bounded TLS client used for the handshakes
// and for the one version request.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

// One TLS connection to 127.0.0.1 that never waits beyond the deadline it is given. Trust is the
// installed root CA file alone. Owned by the check that makes it; single-threaded.
class CTlsConnection {
public:
    using Clock = std::chrono::steady_clock;

    CTlsConnection() = default;
    ~CTlsConnection();
    CTlsConnection(const CTlsConnection&) = delete;
    CTlsConnection& operator=(const CTlsConnection&) = delete;

    // Connects to port and completes the handshake, verifying the certificate for host (an IPv4
    // address or a DNS name). False with error set when no handshake completed; a completed one
    // with a certificate that does not verify is true, with VerifyResult() telling why.
    bool Connect(unsigned short port, const std::string& host, const std::string& rootCertFile,
                 Clock::time_point deadline, std::string& error);
    long VerifyResult() const { return m_nVerify; }
    // The certificate the peer presented (a new reference), null before a handshake.
    X509* PeerCertificate() const {
        return m_ssl ? SSL_get1_peer_certificate(m_ssl.get()) : nullptr;
    }
    // True when Connect failed because the deadline passed (the peer is silent, not refusing).
    bool TimedOut() const { return m_bTimedOut; }
    bool Send(const std::string& data, Clock::time_point deadline);
    // Reads until the peer closes; false on a time-out or beyond limit bytes.
    bool ReceiveAll(std::string& out, size_t limit, Clock::time_point deadline);

private:
    struct SslCtxFree {
        void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
    };
    struct SslFree {
        void operator()(SSL* s) const { SSL_free(s); }
    };
    bool WaitFor(short events, Clock::time_point deadline) const;

    std::unique_ptr<SSL_CTX, SslCtxFree> m_ctx;
    std::unique_ptr<SSL, SslFree> m_ssl;
    int m_fd = -1;
    long m_nVerify = -1;
    bool m_bTimedOut = false;
};

// The end of the time one exchange with the daemon may take, counted from now.
CTlsConnection::Clock::time_point TlsDeadline();
