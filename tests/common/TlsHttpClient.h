// Test helpers shared by the server, end-to-end and hostile tests: a small TLS client over OpenSSL,
// HTTP request and response helpers, an inter-process lock on the in-process test ports, and a
// runner for the built daemon. All traffic goes to 127.0.0.1 only.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "ReplyTexts.h"
#include "ProcScan.h"
#include "TestFiles.h"
#include "WaitFor.h"
#include "nv_config.h"

namespace nvtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Generous: the tests must pass on a loaded two-core machine, under the sanitizers too.
constexpr auto kIoTimeout = 20s;

// A plain TCP connection attempt to 127.0.0.1:port; true when it was accepted.
inline bool TcpAccepts(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr = LoopbackAddress(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

struct SslCtxDeleter {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslDeleter {
    void operator()(SSL* p) const { SSL_free(p); }
};

// One TLS connection to 127.0.0.1. The server certificate is not verified: the tests talk to the
// daemon they started themselves, and what they check is the traffic, not the trust chain.
class TlsConnection {
public:
    TlsConnection() = default;
    ~TlsConnection() { Close(); }
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // TCP connect and TLS handshake, each bounded by timeout. False on failure or time-out.
    bool Connect(unsigned short port, std::chrono::milliseconds timeout = kIoTimeout) {
        Close();
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        sockaddr_in addr = LoopbackAddress(port);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            return false;
        return Handshake(timeout);
    }

    // Only the TCP part; Handshake completes the TLS part (used to watch a queued connection).
    bool ConnectTcp(unsigned short port) {
        Close();
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        sockaddr_in addr = LoopbackAddress(port);
        return connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }

    bool Handshake(std::chrono::milliseconds timeout) {
        if (!m_ctx)
            m_ctx.reset(SSL_CTX_new(TLS_client_method()));
        if (!m_ctx)
            return false;
        SSL_CTX_set_verify(m_ctx.get(), SSL_VERIFY_NONE, nullptr);
        if (!m_ssl) {
            m_ssl.reset(SSL_new(m_ctx.get()));
            if (!m_ssl)
                return false;
            int flags = fcntl(m_fd, F_GETFL);
            fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
            SSL_set_fd(m_ssl.get(), m_fd);
            SSL_set_connect_state(m_ssl.get());
        }
        auto deadline = Clock::now() + timeout;
        for (;;) {
            int r = SSL_do_handshake(m_ssl.get());
            if (r == 1)
                return true;
            int err = SSL_get_error(m_ssl.get(), r);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                return false;
            if (!WaitIo(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                return false;
        }
    }

    bool IsOpen() const { return m_ssl != nullptr; }

    bool Write(const std::string& bytes) {
        if (!m_ssl)
            return false;
        std::size_t done = 0;
        auto deadline = Clock::now() + kIoTimeout;
        while (done < bytes.size()) {
            int r =
                SSL_write(m_ssl.get(), bytes.data() + done, static_cast<int>(bytes.size() - done));
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            int err = SSL_get_error(m_ssl.get(), r);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                return false;
            if (!WaitIo(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                return false;
        }
        return true;
    }

    enum class ReadResult { kData, kTimeout, kClosed };

    // Appends what arrives (at least one byte) to out. kClosed on a clean or unclean end of the
    // connection, kTimeout when nothing came before the deadline.
    ReadResult ReadSome(std::string& out, std::chrono::milliseconds timeout = kIoTimeout) {
        if (!m_ssl)
            return ReadResult::kClosed;
        auto deadline = Clock::now() + timeout;
        char buf[16384];
        for (;;) {
            int r = SSL_read(m_ssl.get(), buf, sizeof(buf));
            if (r > 0) {
                out.append(buf, static_cast<std::size_t>(r));
                return ReadResult::kData;
            }
            int err = SSL_get_error(m_ssl.get(), r);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                if (!WaitIo(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                    return ReadResult::kTimeout;
                continue;
            }
            ERR_clear_error();
            return ReadResult::kClosed;
        }
    }

    // Reads until out holds at least n bytes. False on end of connection or time-out.
    bool ReadAtLeast(std::string& out, std::size_t n,
                     std::chrono::milliseconds timeout = kIoTimeout) {
        auto deadline = Clock::now() + timeout;
        while (out.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (ReadSome(out, left) != ReadResult::kData)
                return false;
        }
        return true;
    }

    // Reads until the connection ends; true when it ended before the time-out.
    bool ReadUntilClosed(std::string& out, std::chrono::milliseconds timeout = kIoTimeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            ReadResult r = ReadSome(out, left);
            if (r == ReadResult::kClosed)
                return true;
            if (r == ReadResult::kTimeout)
                return false;
        }
    }

    // The client's own port of the connection (host order), 0 when there is none.
    unsigned short LocalPort() const {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return 0;
        return ntohs(addr.sin_port);
    }

    void Close() {
        if (m_ssl) {
            // No close_notify: some tests deliberately leave a connection the rough way.
            m_ssl.reset();
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

private:
    bool WaitIo(short events, Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{m_fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        return r > 0;
    }

    int m_fd = -1;
    std::unique_ptr<SSL_CTX, SslCtxDeleter> m_ctx;
    std::unique_ptr<SSL, SslDeleter> m_ssl;
};

// A parsed HTTP response.
// True when the server end of a loopback connection has taken every byte its client sent: the
// server's socket (local port serverPort, remote port clientPort) holds nothing unread in the
// kernel's table. False while it does, and when no such socket is listed.
inline bool ServerHasReadAll(unsigned short serverPort, unsigned short clientPort) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column header
    while (std::getline(table, line)) {
        unsigned slot = 0, localAddr = 0, localPort = 0, remoteAddr = 0, remotePort = 0, state = 0,
                 txQueue = 0, rxQueue = 0;
        if (std::sscanf(line.c_str(), " %u: %x:%x %x:%x %x %x:%x", &slot, &localAddr, &localPort,
                        &remoteAddr, &remotePort, &state, &txQueue, &rxQueue) != 8)
            continue;
        if (localPort == serverPort && remotePort == clientPort)
            return rxQueue == 0;
    }
    return false;
}

// The same for one of the tests' connections to a server on port.
inline bool ServerHasReadAll(unsigned short port, const TlsConnection& conn) {
    return ServerHasReadAll(port, conn.LocalPort());
}

struct HttpResponse {
    bool complete = false;
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names in lower case
    std::vector<std::string> headerLines;        // as sent, in order, without "\r\n"
    std::string head;                            // status line and headers, "\r\n\r\n" included
    std::string body;
    std::string raw;  // head + body
    int Status() const { return statusLine.size() >= 12 ? std::atoi(statusLine.c_str() + 9) : -1; }
    std::string Header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
    bool HasHeader(const std::string& lowerName) const { return headers.count(lowerName) != 0; }
};

inline std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads one response from conn. `pending` carries bytes read past a response into the next call, so
// several responses on one keep-alive connection can be read in turn. A response without
// Content-Length is read to the end of the connection; noBody is for answers to HEAD.
inline HttpResponse ReadHttpResponse(TlsConnection& conn, std::string& pending, bool noBody = false,
                                     std::chrono::milliseconds timeout = kIoTimeout) {
    HttpResponse resp;
    auto deadline = Clock::now() + timeout;
    auto left = [&] {
        auto l = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return l.count() > 0 ? l : std::chrono::milliseconds(1);
    };
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (Clock::now() >= deadline ||
            conn.ReadSome(pending, left()) != TlsConnection::ReadResult::kData)
            return resp;
    }
    resp.head = pending.substr(0, end + 4);
    pending.erase(0, end + 4);
    std::istringstream lines(resp.head.substr(0, end));
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (first) {
            resp.statusLine = line;
            first = false;
            continue;
        }
        resp.headerLines.push_back(line);
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        resp.headers[Lower(line.substr(0, colon))] = value;
    }
    if (noBody) {
        resp.complete = true;
    } else if (resp.HasHeader("content-length")) {
        std::size_t length = static_cast<std::size_t>(
            std::strtoull(resp.Header("content-length").c_str(), nullptr, 10));
        if (!conn.ReadAtLeast(pending, length, left()))
            return resp;
        resp.body = pending.substr(0, length);
        pending.erase(0, length);
        resp.complete = true;
    } else {
        conn.ReadUntilClosed(pending, left());
        resp.body = pending;
        pending.clear();
        resp.complete = true;
    }
    resp.raw = resp.head + resp.body;
    return resp;
}

// One request on a fresh connection; the response is read as described above.
inline HttpResponse HttpExchange(unsigned short port, const std::string& request,
                                 bool noBody = false) {
    TlsConnection conn;
    if (!conn.Connect(port))
        return HttpResponse{};
    if (!conn.Write(request))
        return HttpResponse{};
    std::string pending;
    return ReadHttpResponse(conn, pending, noBody);
}

// A request text with the given method, target, extra header lines (each ending "\r\n") and body.
inline std::string BuildRequest(const std::string& method, const std::string& target,
                                const std::string& headers,
                                const std::string& body = std::string()) {
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n" + body;
}

// A POST with a Content-Length that matches the body.
inline std::string BuildPost(const std::string& body,
                             const std::string& extraHeaders = std::string()) {
    return BuildRequest("POST", "/",
                        extraHeaders + "Content-Type: application/x-www-form-urlencoded\r\n" +
                            "Content-Length: " + std::to_string(body.size()) + "\r\n",
                        body);
}

// Form encoding of a value, as a browser encodes a form field (blank to '+', the rest %XX).
inline std::string FormEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '*') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

constexpr const char* kProbeAnswerText =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
    "close\r\n\r\n";
constexpr const char* kRejectionText =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: "
    "*\r\nConnection: close\r\n\r\n";

// Exclusive use of one of the in-process test ports 26441-26449 across processes (test binaries run
// in parallel under ctest -j, in more than one build tree). The lock goes with the process.
class TestPortLock {
public:
    TestPortLock() = default;
    ~TestPortLock() { Release(); }
    TestPortLock(const TestPortLock&) = delete;
    TestPortLock& operator=(const TestPortLock&) = delete;

    // Takes the first free port of the range after `after` (0: from the start); 0 when none is free.
    unsigned short Acquire(unsigned short after = 0) {
        Release();
        for (unsigned short port = 26441; port <= 26449; ++port) {
            if (port <= after)
                continue;
            std::string path = "/tmp/nv-inprocess-port-" + std::to_string(port) + ".lock";
            int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0)
                continue;
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                m_fd = fd;
                m_port = port;
                return port;
            }
            close(fd);
        }
        return 0;
    }
    // Blocks (polling) until a port is free.
    unsigned short AcquireWaiting(std::chrono::milliseconds timeout = 240s) {
        unsigned short port = 0;
        WaitFor([&] { return (port = Acquire()) != 0; }, timeout);
        return port;
    }
    void Release() {
        if (m_fd >= 0) {
            flock(m_fd, LOCK_UN);
            close(m_fd);
            m_fd = -1;
        }
        m_port = 0;
    }
    unsigned short Port() const { return m_port; }

private:
    int m_fd = -1;
    unsigned short m_port = 0;
};

// A temporary directory, removed with its content at the end (TestFiles.h).
using ::TempDir;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The built daemon, started as a page's user would have it started (-H <temp home> -S), serving
// from its forked child. The test process makes itself a subreaper, so the child is re-parented to
// it when the started process exits and can be stopped, reaped and its exit status read.
class DaemonProcess {
public:
    explicit DaemonProcess(std::string program) : m_program(std::move(program)) {}
    ~DaemonProcess() { Stop(); }
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // The staged product binary, and the test build that writes every log line to standard error.
    static std::string ProductPath() { return std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME; }
    static std::string LogTestPath() {
        return std::string(NV_BINARY_DIR) + "/daemon/NorrimVelstraSvc-logtest";
    }

    // Starts the program and waits until its child listens. The daemon takes the first free port of
    // 4441-4445; the tests expect `port` (4441). When something outside this test run holds it (a
    // daemon a developer started by hand), the start waits a while for it to go, and then lets the
    // daemon take the next free port and finds that port from the daemon's own sockets.
    ::testing::AssertionResult Start(unsigned short port = 4441) {
        if (m_home.Path().empty())
            return ::testing::AssertionFailure() << "no temporary home";
        if (access(m_program.c_str(), X_OK) != 0)
            return ::testing::AssertionFailure() << "program not built: " << m_program;
        bool expectPort = WaitFor([&] { return !TcpAccepts(port); }, 60s);
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::string out = m_home.Path() + "/stdout.txt";
        std::string err = m_home.Path() + "/stderr.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> args = {m_program, "-H", m_home.Path(), "-S"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t parent = -1;
        int rc = posix_spawn(&parent, m_program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return ::testing::AssertionFailure() << "posix_spawn failed: " << rc;
        int status = 0;
        waitpid(parent, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return ::testing::AssertionFailure() << "started process did not exit 0";
        // The serving child is the one of our children whose command line names our temporary home.
        WaitFor([&] { return (m_pid = FindChild()) > 0; }, 10s);
        if (m_pid <= 0)
            return ::testing::AssertionFailure() << "no serving child found; stderr: " << Stderr();
        if (!WaitFor([&] { return (m_port = ListeningPort(m_pid)) != 0; }, 30s))
            return ::testing::AssertionFailure()
                   << "the daemon does not listen (fixed ports served by others:"
                   << BusyFixedPorts() << "); stderr: " << Stderr();
        // Another program may have taken the port meanwhile (a daemon started by hand during the run).
        if (expectPort && m_port != port && !TcpAccepts(port))
            return ::testing::AssertionFailure()
                   << "the daemon listens on " << m_port << " instead of " << port;
        if (!WaitFor([&] { return TcpAccepts(m_port); }, 30s))
            return ::testing::AssertionFailure() << "daemon does not accept on " << m_port;
        return ::testing::AssertionSuccess();
    }

    // Those of the fixed ports 4441-4445 that accept connections, as " 4441 4443".
    static std::string BusyFixedPorts() {
        std::string busy;
        for (unsigned short p = 4441; p <= 4445; ++p)
            if (TcpAccepts(p))
                busy += " " + std::to_string(p);
        return busy;
    }

    // The TCP port on which the process listens (IPv4), or 0.
    static unsigned short ListeningPort(pid_t pid) {
        std::vector<std::string> inodes;
        std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        if (DIR* dir = opendir(fdDir.c_str())) {
            while (dirent* e = readdir(dir)) {
                char target[128] = {};
                std::string link = fdDir + "/" + e->d_name;
                ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
                if (n > 0 && std::strncmp(target, "socket:[", 8) == 0)
                    inodes.emplace_back(target + 8, static_cast<std::size_t>(n) - 9);
            }
            closedir(dir);
        }
        std::istringstream table(ReadFile("/proc/net/tcp"));
        std::string line;
        std::getline(table, line);  // column header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retrans, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retrans >> uid >>
                timeout >> inode;
            if (state != "0A")
                continue;
            for (const auto& i : inodes)
                if (i == inode)
                    return static_cast<unsigned short>(
                        std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
        }
        return 0;
    }

    // SIGINT (a handled signal) and reap; SIGKILL if it does not end in time. Returns the wait status.
    int Stop() {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGINT);
        int status = 0;
        bool reaped = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, 20s);
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        return status;
    }

    pid_t Pid() const { return m_pid; }
    unsigned short Port() const { return m_port; }
    const std::string& Home() const { return m_home.Path(); }
    std::string Stderr() const { return ReadFile(m_home.Path() + "/stderr.txt"); }

    // Waits until the daemon's standard error holds text (the log test build writes its log there).
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout = 20s) const {
        return WaitFor([&] { return Stderr().find(text) != std::string::npos; }, timeout);
    }

private:
    pid_t FindChild() const { return FindChildWithArgument(m_home.Path()); }

    std::string m_program;
    TempDir m_home;
    pid_t m_pid = -1;
    unsigned short m_port = 0;
};

}  // namespace nvtest
