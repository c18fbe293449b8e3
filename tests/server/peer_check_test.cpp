// The peer check: reading the kernel's TCP tables, the owner of a real client socket from sock_diag
// and from /proc, and the server refusing requests from another user's socket while serving its own
// user. The other user is "nobody": a child process switches to it and creates a socket that the
// test then uses (the owner of a socket is fixed when it is created), or a real client runs under
// setpriv. Tests that need to switch users are skipped when not run as root.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <openssl/err.h>

#include <cerrno>
#include <fstream>
#include <memory>

#include "Loopback.h"
#include "LogCapture.h"
#include "TlsHttpClient.h"
#include "nv_config.h"
#include "server/DMServer.h"
#include "server/PeerCheck.h"
#include "server/TlsCompat.h"
#include "tests/server/TestSockets.h"

using namespace nvtest;

namespace {

const char* const kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

std::string Row(const char* local, const char* remote, const char* state, unsigned uid) {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "   3: %s %s %s 00000000:00000000 00:00000000 00000000 %5u        0 4242 1 "
                  "0000000000000000 20 4 "
                  "30 10 -1\n",
                  local, remote, state, uid);
    return line;
}

PeerSocketId Id(const char* client, uint16_t clientPort, uint16_t serverPort) {
    PeerSocketId id{};
    inet_pton(AF_INET, client, &id.clientAddr);
    id.clientPort = clientPort;
    inet_pton(AF_INET, "127.0.0.1", &id.serverAddr);
    id.serverPort = serverPort;
    return id;
}

std::string WriteTable(const TempDir& dir, const std::string& text) {
    std::string path = dir.Path() + "/tcp";
    std::ofstream(path) << text;
    return path;
}

// ---- another user ------------------------------------------------------------------------------

struct OtherUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

// "nobody", when this process may switch to it.
bool FindOtherUser(OtherUser& user) {
    if (geteuid() != 0)
        return false;
    const passwd* pw = getpwnam("nobody");
    if (pw == nullptr || pw->pw_uid == 0)
        return false;
    user.uid = pw->pw_uid;
    user.gid = pw->pw_gid;
    return true;
}

// A TCP socket created by a child process running as user, handed over through a UNIX socket. The
// child makes raw system calls only: this process runs server threads, so nothing that takes a lock
// may run between fork and _exit.
Fd SocketOwnedBy(const OtherUser& user, int family = AF_INET) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return Fd();
    pid_t pid = fork();
    if (pid == 0) {
        close(pair[0]);
        if (syscall(SYS_setgroups, 0, nullptr) != 0 ||
            syscall(SYS_setresgid, user.gid, user.gid, user.gid) != 0 ||
            syscall(SYS_setresuid, user.uid, user.uid, user.uid) != 0)
            _exit(2);
        int fd = static_cast<int>(syscall(SYS_socket, family, SOCK_STREAM, 0));
        if (fd < 0)
            _exit(3);
        char byte = 0;
        iovec iov{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cm), &fd, sizeof(int));
        _exit(syscall(SYS_sendmsg, pair[1], &msg, 0) == 1 ? 0 : 4);
    }
    close(pair[1]);
    Fd received;
    if (pid > 0) {
        char byte = 0;
        iovec iov{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(pair[0], &msg, MSG_CMSG_CLOEXEC) == 1) {
            cmsghdr* cm = CMSG_FIRSTHDR(&msg);
            if (cm != nullptr && cm->cmsg_type == SCM_RIGHTS) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(cm), sizeof(int));
                received = Fd(fd);
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(pair[0]);
    return received;
}

bool ConnectTo(const Fd& fd, unsigned short port) {
    sockaddr_in sa = LoopbackAddress(port);
    return connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
}

uint16_t LocalPortOf(const Fd& fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// A TLS exchange over a socket that is already connected: sends request, returns what arrives up to
// the end of the response head (every answer tested here has an empty body), or up to the close.
std::string TlsExchange(const Fd& fd, const std::string& request) {
    timeval tv{20, 0};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return "<no context>";
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd.Get());
    if (SSL_connect(ssl.get()) != 1)
        return "<no handshake>";
    if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) !=
        static_cast<int>(request.size()))
        return "<write failed>";
    std::string out;
    char buf[4096];
    while (out.find("\r\n\r\n") == std::string::npos) {
        int n = SSL_read(ssl.get(), buf, sizeof(buf));
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Runs argv with input on its standard input; its standard output, or "" when it could not run or
// did not end within the time-out (it is killed then).
std::string RunCapture(const std::vector<std::string>& args, const std::string& input) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return "";
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The client's diagnostics (certificate not verified, and so on) are not of interest.
        int devnull = open("/dev/null", O_WRONLY);
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (devnull >= 0)
            dup2(devnull, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    ssize_t written = write(in[1], input.data(), input.size());
    (void)written;  // a client that died early shows as an empty or short output
    // The input stays open: the client must end because the server closed the connection.
    std::string result;
    auto deadline = Clock::now() + 30s;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            kill(pid, SIGKILL);
            result.clear();
            break;
        }
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0)
            break;
        result.append(buf, static_cast<std::size_t>(n));
    }
    close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return result;
}

// The real TLS server in this process on one of the test ports 27441-27449, each held with a lock
// file across processes.
class PeerCheckServer : public ::testing::Test {
protected:
    void SetUp() override {
        for (unsigned short port = 27441; port <= 27449 && m_port == 0; ++port) {
            std::string path = "/tmp/nv-peercheck-port-" + std::to_string(port) + ".lock";
            Fd lock(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
            if (!lock.Valid() || flock(lock.Get(), LOCK_EX | LOCK_NB) != 0 || !IsFree(port))
                continue;
            m_done = false;
            m_thread = std::thread([this, port] {
                unsigned short list[1] = {port};
                unsigned short chosen = 0;
                CDMServer::StartDMServer(list, 1, chosen);
                m_done = true;
            });
            if (WaitFor([&] { return m_done.load() || TcpAccepts(port); }, 60s) && !m_done.load()) {
                m_port = port;
                m_lock = std::move(lock);
            } else {
                CDMServer::StopDMServer();
                m_thread.join();
            }
        }
        ASSERT_NE(0, m_port) << "no test port 27441-27449 could be served";
    }
    void TearDown() override {
        if (m_thread.joinable()) {
            CDMServer::StopDMServer();  // CivetWeb stops before the server object goes
            m_thread.join();
        }
    }

    static bool IsFree(unsigned short port) { return IsOpenPossiblePort("127.0.0.1", port) == 1; }

    std::string RefusalLine(uint16_t clientPort, uid_t owner) {
        return "[PEER] refused 127.0.0.1:" + std::to_string(clientPort) + " : socket of uid " +
               std::to_string(owner) + ", daemon uid " + std::to_string(getuid()) + "\n";
    }
    bool AnyLineStartingWith(const std::string& prefix) {
        for (const std::string& l : m_cap.Lines())
            if (l.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    LogCapture m_cap;  // before the server starts, so that it sees every line
    unsigned short m_port = 0;
    Fd m_lock;
    std::thread m_thread;
    std::atomic<bool> m_done{false};
};

const std::string kProbe =
    "GET /?dmPortScan HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

}  // namespace

// ---- table rows ------------------------------------------------------------------------------------

TEST(PeerCheckTable, ParseTcpTableRow_RowsOfBothTables_FieldsRead) {
    TcpTableRow row{};
    ASSERT_TRUE(ParseTcpTableRow(Row("0100007F:C350", "0100007F:1159", "01", 1000).c_str(), row));
    EXPECT_FALSE(row.bIPv6);
    EXPECT_EQ(0x0100007FU, row.localAddr[0]);
    EXPECT_EQ(0xC350, row.localPort);
    EXPECT_EQ(0x1159, row.remotePort);
    EXPECT_EQ(1U, row.state);
    EXPECT_EQ(1000U, row.uid);
    EXPECT_EQ(4242U, row.inode);
    // A row cut after the uid column is still a row, without an inode.
    ASSERT_TRUE(ParseTcpTableRow(
        "   3: 0100007F:C350 0100007F:1159 01 00000000:00000000 00:00000000 00000000  1000\n",
        row));
    EXPECT_EQ(1000U, row.uid);
    EXPECT_EQ(0U, row.inode);

    ASSERT_TRUE(ParseTcpTableRow(Row("0000000000000000FFFF00000100007F:C350",
                                     "0000000000000000FFFF00000100007F:1159", "01", 7)
                                     .c_str(),
                                 row));
    EXPECT_TRUE(row.bIPv6);
    EXPECT_EQ(0xFFFF0000U, row.localAddr[2]);
    EXPECT_EQ(0x0100007FU, row.localAddr[3]);
    EXPECT_EQ(7U, row.uid);
}

TEST(PeerCheckTable, ParseTcpTableRow_Malformed_Refused) {
    TcpTableRow row{};
    EXPECT_FALSE(ParseTcpTableRow(kHeader, row));
    EXPECT_FALSE(ParseTcpTableRow("", row));
    EXPECT_FALSE(ParseTcpTableRow(nullptr, row));
    EXPECT_FALSE(ParseTcpTableRow("   3: 0100007F:C350 0100007F:1159 01\n", row));  // no uid column
    EXPECT_FALSE(
        ParseTcpTableRow(Row("100007F:C350", "0100007F:1159", "01", 1).c_str(), row));  // 7 digits
    EXPECT_FALSE(
        ParseTcpTableRow(Row("0100007F:1C350", "0100007F:1159", "01", 1).c_str(), row));  // 17 bits
    EXPECT_FALSE(ParseTcpTableRow(
        Row("0100007F:C350", "0000000000000000FFFF00000100007F:1159", "01", 1).c_str(), row));
    EXPECT_FALSE(
        ParseTcpTableRow(Row("0100007F:C350", "0100007F:1159", "01", 4294967295U).c_str(), row));
}

TEST(PeerCheckTable, PeerOwnerFromTable_ClientEndAmongOthers_OwnerOfTheClientEnd) {
    TempDir dir;
    // The server's own end of the connection comes first and belongs to the daemon's user; only the
    // client's end (local = client, remote = server) tells who connected.
    std::string path =
        WriteTable(dir, std::string(kHeader) + Row("0100007F:1159", "00000000:0000", "0A", 0) +
                            Row("0100007F:1159", "0100007F:C350", "01", 0) +
                            Row("0100007F:C351", "0100007F:1159", "01", 1001) +
                            Row("0100007F:C350", "0100007F:1159", "01", 1000));
    uid_t owner = 0;
    EXPECT_EQ(kPeerOwnerFound,
              PeerOwnerFromTable(path.c_str(), Id("127.0.0.1", 0xC350, 0x1159), owner));
    EXPECT_EQ(1000U, owner);
    EXPECT_EQ(kPeerOwnerNotFound,
              PeerOwnerFromTable(path.c_str(), Id("127.0.0.2", 0xC350, 0x1159), owner));
    EXPECT_EQ(kPeerOwnerNotFound,
              PeerOwnerFromTable(path.c_str(), Id("127.0.0.1", 0xC350, 0x115A), owner));
    EXPECT_EQ(kPeerOwnerUnavailable,
              PeerOwnerFromTable((dir.Path() + "/missing").c_str(), Id("127.0.0.1", 1, 2), owner));
}

TEST(PeerCheckTable, PeerOwnerFromTable_MappedAddressInIPv6Table_Found) {
    TempDir dir;
    std::string path = WriteTable(dir, std::string(kHeader) +
                                           Row("00000000000000000000000001000000:C350",
                                               "0000000000000000FFFF00000100007F:1159", "01", 5) +
                                           Row("0000000000000000FFFF00000100007F:C350",
                                               "0000000000000000FFFF00000100007F:1159", "01", 6));
    uid_t owner = 0;
    EXPECT_EQ(kPeerOwnerFound,
              PeerOwnerFromTable(path.c_str(), Id("127.0.0.1", 0xC350, 0x1159), owner));
    EXPECT_EQ(6U, owner);
}

TEST(PeerCheckTable, PeerOwnerFromTable_TailOfOverlongLine_NotTakenForARow) {
    TempDir dir;
    // 600 bytes of padding push a row-shaped text past the line buffer: it is the tail of a line.
    std::string path = WriteTable(dir, std::string(kHeader) + std::string(600, 'x') +
                                           Row("0100007F:C350", "0100007F:1159", "01", 1000));
    uid_t owner = 0;
    EXPECT_EQ(kPeerOwnerNotFound,
              PeerOwnerFromTable(path.c_str(), Id("127.0.0.1", 0xC350, 0x1159), owner));
}

// ---- real sockets ----------------------------------------------------------------------------------

TEST(PeerCheckSockets, FindPeerSocketOwner_OwnSocket_ThisUserByBothRoads) {
    Fd listener = ListenV4("127.0.0.1", 0);
    ASSERT_TRUE(listener.Valid());
    Fd client = ConnectV4(LocalPort(listener));
    ASSERT_TRUE(client.Valid());
    PeerSocketId id = Id("127.0.0.1", LocalPortOf(client), LocalPort(listener));

    uid_t owner = 12345;
    EXPECT_EQ(kPeerOwnerFound, PeerOwnerFromSockDiag(id, owner));
    EXPECT_EQ(getuid(), owner);
    owner = 12345;
    EXPECT_EQ(kPeerOwnerFound, PeerOwnerFromTable("/proc/net/tcp", id, owner));
    EXPECT_EQ(getuid(), owner);
    EXPECT_TRUE(IsPeerOfUser(id, getuid()));

    // An id that matches no socket is refused, with the reason.
    LogCapture cap;
    EXPECT_FALSE(IsPeerOfUser(Id("127.0.0.1", 1, 2), getuid()));
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{
                               "[PEER] refused 127.0.0.1:1 : socket owner not found (-1)\n"});
}

TEST(PeerCheckSockets, FindPeerSocketOwner_OtherUsersSockets_TheirUidByBothRoads) {
    OtherUser other;
    if (!FindOtherUser(other))
        GTEST_SKIP() << "needs root and the user nobody";
    Fd listener = ListenV4("127.0.0.1", 0);
    ASSERT_TRUE(listener.Valid());

    // An IPv4 socket, and an IPv6 socket reaching the IPv4 listener through a mapped address.
    Fd v4 = SocketOwnedBy(other, AF_INET);
    ASSERT_TRUE(v4.Valid());
    ASSERT_TRUE(ConnectTo(v4, LocalPort(listener)));
    PeerSocketId id = Id("127.0.0.1", LocalPortOf(v4), LocalPort(listener));
    uid_t owner = 0;
    EXPECT_EQ(kPeerOwnerFound, PeerOwnerFromSockDiag(id, owner));
    EXPECT_EQ(other.uid, owner);
    owner = 0;
    EXPECT_EQ(kPeerOwnerFound, PeerOwnerFromTable("/proc/net/tcp", id, owner));
    EXPECT_EQ(other.uid, owner);

    Fd v6 = SocketOwnedBy(other, AF_INET6);
    ASSERT_TRUE(v6.Valid());
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(LocalPort(listener));
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &sa.sin6_addr);
    ASSERT_EQ(0, connect(v6.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    PeerSocketId id6 = Id("127.0.0.1", LocalPortOf(v6), LocalPort(listener));
    owner = 0;
    EXPECT_EQ(kPeerOwnerFound, FindPeerSocketOwner(id6, owner));
    EXPECT_EQ(other.uid, owner);
    owner = 0;
    EXPECT_EQ(kPeerOwnerFound, PeerOwnerFromTable("/proc/net/tcp6", id6, owner));
    EXPECT_EQ(other.uid, owner);

    LogCapture cap;
    EXPECT_FALSE(IsPeerOfUser(id, getuid()));
    EXPECT_EQ(cap.Lines(),
              std::vector<std::string>{"[PEER] refused 127.0.0.1:" + std::to_string(id.clientPort) +
                                       " : socket of uid " + std::to_string(other.uid) +
                                       ", daemon uid " + std::to_string(getuid()) + "\n"});
}

// ---- over the wire ----------------------------------------------------------------------------------

TEST_F(PeerCheckServer, SameUser_ProbePostAndUpgrade_Served) {
    EXPECT_EQ(HttpExchange(m_port, kProbe).raw, kProbeAnswerText);
    HttpResponse post =
        HttpExchange(m_port, BuildPost("request=" + FormEncode("{\"id\":\"7\",\"tabid\":\"t\"}")));
    EXPECT_EQ(200, post.Status());
    EXPECT_NE(std::string::npos, post.body.find("\"status\": \"TRUE\""));
    EXPECT_FALSE(AnyLineStartingWith("[PEER]"));
}

TEST_F(PeerCheckServer, OtherUser_ProbePostAndUpgrade_RefusedWithLogLine) {
    OtherUser other;
    if (!FindOtherUser(other))
        GTEST_SKIP() << "needs root and the user nobody";

    Fd probe = SocketOwnedBy(other);
    ASSERT_TRUE(probe.Valid());
    ASSERT_TRUE(ConnectTo(probe, m_port));
    EXPECT_EQ(TlsExchange(probe, kProbe), kRejectionText);
    EXPECT_TRUE(m_cap.Contains(RefusalLine(LocalPortOf(probe), other.uid)));
    EXPECT_FALSE(AnyLineStartingWith("dmPortScan Origin"));

    // A POST is refused before its body is read: the request handler never sees it.
    Fd post = SocketOwnedBy(other);
    ASSERT_TRUE(post.Valid());
    ASSERT_TRUE(ConnectTo(post, m_port));
    EXPECT_EQ(TlsExchange(post, BuildPost("request=" + FormEncode("{\"id\":\"7\"}"))),
              kRejectionText);
    EXPECT_TRUE(m_cap.Contains(RefusalLine(LocalPortOf(post), other.uid)));
    EXPECT_FALSE(AnyLineStartingWith("======= [MG_RequestHandlerCB] SEND"));

    // The WebSocket handshake is refused too: no upgrade, so no frame can ever reach the module.
    Fd ws = SocketOwnedBy(other);
    ASSERT_TRUE(ws.Valid());
    ASSERT_TRUE(ConnectTo(ws, m_port));
    EXPECT_EQ(
        TlsExchange(
            ws,
            "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"),
        kRejectionText);
    EXPECT_TRUE(m_cap.Contains(RefusalLine(LocalPortOf(ws), other.uid)));
    EXPECT_FALSE(AnyLineStartingWith("[WS]"));

    // The daemon's own user is still served afterwards.
    EXPECT_EQ(HttpExchange(m_port, kProbe).raw, kProbeAnswerText);
}

// A connection that passed is not looked up again, but that mark must die with it: CivetWeb reuses
// its connection objects, so other users' connections that follow the owner's on every worker
// thread are each looked up and refused.
TEST_F(PeerCheckServer, OtherUser_NewConnectionsAfterPassedOnes_EachRefused) {
    OtherUser other;
    if (!FindOtherUser(other))
        GTEST_SKIP() << "needs root and the user nobody";
    for (int i = 0; i < 30; ++i) {  // more rounds than worker threads
        ASSERT_EQ(HttpExchange(m_port, kProbe).raw, kProbeAnswerText) << "round " << i;
        Fd probe = SocketOwnedBy(other);
        ASSERT_TRUE(probe.Valid());
        ASSERT_TRUE(ConnectTo(probe, m_port));
        ASSERT_EQ(TlsExchange(probe, kProbe), kRejectionText) << "round " << i;
        EXPECT_TRUE(m_cap.Contains(RefusalLine(LocalPortOf(probe), other.uid)));
    }
}

TEST_F(PeerCheckServer, OtherUserProcess_ClientUnderSetpriv_RefusedWhileOwnUserServed) {
    OtherUser other;
    if (!FindOtherUser(other))
        GTEST_SKIP() << "needs root and the user nobody";
    if (access("/usr/bin/setpriv", X_OK) != 0 || access("/usr/bin/openssl", X_OK) != 0)
        GTEST_SKIP() << "needs setpriv and openssl";
    const std::string target = "127.0.0.1:" + std::to_string(m_port);
    const std::vector<std::string> client = {"openssl", "s_client", "-connect", target, "-quiet"};
    std::vector<std::string> asOther = {"/usr/bin/setpriv", "--reuid=" + std::to_string(other.uid),
                                        "--regid=" + std::to_string(other.gid), "--clear-groups",
                                        "--"};
    asOther.insert(asOther.end(), client.begin(), client.end());

    EXPECT_EQ(RunCapture(asOther, kProbe), kRejectionText);
    EXPECT_TRUE(AnyLineStartingWith("[PEER] refused 127.0.0.1:"));
    EXPECT_EQ(RunCapture(client, kProbe), kProbeAnswerText);
}

TEST_F(PeerCheckServer, OtherUser_RefusedPostTricklingItsBody_CutByTheRequestTimeOut) {
    OtherUser other;
    if (!FindOtherUser(other))
        GTEST_SKIP() << "needs root and the user nobody";
    // Shortened for this test; CivetWeb's own silence time-out stays at 30 s.
    constexpr auto kRequestTimeOut = std::chrono::milliseconds(2000);
    NV_SetTlsLimits(kRequestTimeOut.count(), NV_WS_IDLE_TIMEOUT_MS);

    Fd fd = SocketOwnedBy(other);
    ASSERT_TRUE(fd.Valid());
    ASSERT_TRUE(ConnectTo(fd, m_port));
    timeval tv{0, 100000};
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    ASSERT_TRUE(ctx);
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd.Get());
    ASSERT_EQ(SSL_connect(ssl.get()), 1);
    // Refused at once for its owner; CivetWeb then drains the announced body, a byte every 100 ms.
    const std::string head =
        "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000\r\n\r\nrequest=";
    const auto firstByte = Clock::now();
    ASSERT_EQ(SSL_write(ssl.get(), head.data(), static_cast<int>(head.size())),
              static_cast<int>(head.size()));
    std::string answer;
    bool ended = false;
    while (!ended && Clock::now() - firstByte < 25s) {
        ended = SSL_write(ssl.get(), "x", 1) != 1;
        char buf[4096];
        int n = SSL_read(ssl.get(), buf, sizeof(buf));
        if (n > 0)
            answer.append(buf, static_cast<std::size_t>(n));
        else if (SSL_get_error(ssl.get(), n) != SSL_ERROR_WANT_READ &&
                 !(SSL_get_error(ssl.get(), n) == SSL_ERROR_SYSCALL && errno == EAGAIN))
            ended = true;
        ERR_clear_error();
    }
    const auto heldFor = Clock::now() - firstByte;
    NV_SetTlsLimits(NV_REQUEST_TIMEOUT_MS, NV_WS_IDLE_TIMEOUT_MS);
    EXPECT_EQ(answer, kRejectionText);
    EXPECT_TRUE(ended) << "still open after 25 s";
    EXPECT_LT(heldFor, kRequestTimeOut + 8s) << "held past the time-out";
    EXPECT_TRUE(AnyLineStartingWith("[PEER] refused 127.0.0.1:"));
}
