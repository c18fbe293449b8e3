// CDMServer's life in-process on the test ports 24441-24445: failed starts, a real TLS server on
// a thread of its own, a second start while it runs, and the two ways it is stopped.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "LogCapture.h"
#include "TestSockets.h"
#include "WaitFor.h"
#include "nv_config.h"
#include "server/DMServer.h"

namespace {

using nvtest::Fd;
using Clock = std::chrono::steady_clock;

constexpr unsigned short kTestPorts[5] = {24441, 24442, 24443, 24444, 24445};

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

// Completes a TLS handshake with 127.0.0.1:port, verifying the chain against the staged root CA.
// Returns "" on success, else what failed.
std::string VerifiedHandshake(unsigned short port) {
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return "SSL_CTX_new";
    const std::string root = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;
    if (SSL_CTX_load_verify_locations(ctx.get(), root.c_str(), nullptr) != 1)
        return "no root CA at " + root;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    Fd fd = nvtest::ConnectV4(port);
    if (!fd.Valid())
        return "connect";
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd.Get());
    if (SSL_connect(ssl.get()) != 1) {
        return std::string("handshake: ") +
               X509_verify_cert_error_string(SSL_get_verify_result(ssl.get()));
    }
    SSL_shutdown(ssl.get());
    return "";
}

// Runs StartDMServer on a thread of its own, as the daemon's main thread would.
class ServerThread {
public:
    explicit ServerThread(const unsigned short* ports, int count) {
        m_result = std::async(std::launch::async, [this, ports, count] {
            m_waiterId = std::this_thread::get_id();
            return CDMServer::StartDMServer(ports, count, m_port);
        });
    }
    ~ServerThread() {
        // Never leave a server behind for the next test, whatever failed.
        if (m_result.valid()) {
            if (m_result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                CDMServer::RequestStop(SIGHUP);
            m_result.wait();
        }
    }
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // The result, waiting at most 30 seconds; -1000 when it did not come.
    int Result() {
        if (m_result.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
            return -1000;
        return m_result.get();
    }
    unsigned short Port() const { return m_port; }
    std::thread::id WaiterId() const { return m_waiterId; }

private:
    std::future<int> m_result;
    unsigned short m_port = 0;
    std::thread::id m_waiterId;
};

// The line that reports the chosen port, awaited with a deadline.
bool WaitForLine(const LogCapture& cap, const std::string& line,
                 std::chrono::seconds limit = std::chrono::seconds(30)) {
    return WaitFor([&] { return cap.Contains(line); }, limit);
}

std::thread::id g_stopRoutineThread;
void RecordingStopRoutine(int signo) {
    g_stopRoutineThread = std::this_thread::get_id();
    EXPECT_EQ(signo, SIGHUP);
    CDMServer::StopDMServer();
}

class ServerLifecycle : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CDMServer::s_pServer, nullptr);
        // A request left over from elsewhere would stop the next server at once.
        CDMServer::SetStopRoutine(nullptr);
        CDMServer::RunPendingStopRequest();
    }
    void TearDown() override {
        CDMServer::SetStopRoutine(nullptr);
        EXPECT_EQ(CDMServer::s_pServer, nullptr);
    }
};

}  // namespace

TEST_F(ServerLifecycle, StartDMServer_NoPortList_FailsWithLog) {
    LogCapture cap;
    unsigned short port = 7;
    EXPECT_EQ(CDMServer::StartDMServer(nullptr, 5, port), -1);
    EXPECT_EQ(CDMServer::StartDMServer(kTestPorts, 0, port), -1);
    EXPECT_EQ(port, 7);
    const std::string start = "CDMServer::StartDMServer Start";
    const std::string error = "CDMServer::StartDMServer Error = [pPortList, listCount is null]";
    EXPECT_EQ(cap.Lines(), (std::vector<std::string>{start, error, start, error}));
}

TEST_F(ServerLifecycle, StartDMServer_AllPortsTaken_FailsAfterPausingAtEach) {
    Fd listeners[5];
    for (int i = 0; i < 5; ++i) {
        listeners[i] = nvtest::ListenV4("127.0.0.1", kTestPorts[i]);
        ASSERT_TRUE(listeners[i].Valid()) << "test port " << kTestPorts[i] << " is in use";
    }
    LogCapture cap;
    unsigned short port = 0;
    auto begin = Clock::now();

    EXPECT_EQ(CDMServer::StartDMServer(kTestPorts, 5, port), -1);

    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(500))
        << "100 ms pause after each of the five";
    EXPECT_EQ(cap.Lines(), (std::vector<std::string>{
                               "CDMServer::StartDMServer Start",
                               "CDMServer::StartDMServer Error = [Cannot found possible port.]"}));
    EXPECT_EQ(port, 0);
}

TEST_F(ServerLifecycle, StartDMServer_FreePort_ServesTlsUntilStoppedFromAnotherThread) {
    LogCapture cap;
    ServerThread server(kTestPorts, 5);
    ASSERT_TRUE(WaitForLine(cap, "CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!"));
    ASSERT_TRUE(cap.Contains("CDMServer::StartDMServer Port = [24441]"));
    ASSERT_TRUE(nvtest::WaitUntilAccepting(24441));
    EXPECT_EQ(VerifiedHandshake(24441), "");

    CDMServer* running = CDMServer::s_pServer;
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(running->Port(), 24441);
    unsigned short secondPort = 0;
    EXPECT_EQ(CDMServer::StartDMServer(kTestPorts, 5, secondPort), 100);
    EXPECT_TRUE(
        cap.Contains("CDMServer::StartDMServer Error = [s_pServer, s_pIO_service is null]"));
    EXPECT_EQ(CDMServer::s_pServer, running) << "the running server is left alone";
    EXPECT_EQ(VerifiedHandshake(24441), "");

    CDMServer::StopDMServer();
    EXPECT_EQ(server.Result(), 0);
    EXPECT_EQ(server.Port(), 24441);
    EXPECT_EQ(CDMServer::s_pServer, nullptr);
    EXPECT_TRUE(CDMServer::s_bServerStopped.load());
    EXPECT_TRUE(cap.Contains("Delete server."));
    EXPECT_FALSE(nvtest::ConnectV4(24441).Valid()) << "CivetWeb no longer listens";
}

TEST_F(ServerLifecycle, StartDMServer_FirstPortTaken_UsesNextAndStopsOnWaitingThread) {
    Fd taken = nvtest::ListenV4("127.0.0.1", kTestPorts[0]);
    ASSERT_TRUE(taken.Valid());
    CDMServer::SetStopRoutine(&RecordingStopRoutine);
    g_stopRoutineThread = std::thread::id();
    LogCapture cap;

    ServerThread server(kTestPorts, 5);
    ASSERT_TRUE(WaitForLine(cap, "CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!"));
    EXPECT_TRUE(cap.Contains("CDMServer::StartDMServer Port = [24442]"));
    ASSERT_TRUE(nvtest::WaitUntilAccepting(24442));
    EXPECT_EQ(VerifiedHandshake(24442), "");

    // What a signal handler does: post the request and return; the waiting thread stops.
    CDMServer::RequestStop(SIGHUP);
    EXPECT_EQ(server.Result(), 0);
    EXPECT_EQ(server.Port(), 24442);
    EXPECT_EQ(g_stopRoutineThread, server.WaiterId());
    EXPECT_EQ(CDMServer::s_pServer, nullptr);
    EXPECT_TRUE(cap.Contains("Delete server."));
    EXPECT_FALSE(CDMServer::RunPendingStopRequest()) << "the request was taken once";
}

TEST_F(ServerLifecycle, StartDMServer_StopRequestedBeforeStart_StopsAsSoonAsItServes) {
    LogCapture cap;
    CDMServer::RequestStop(SIGINT);
    unsigned short port = 0;
    EXPECT_EQ(CDMServer::StartDMServer(kTestPorts, 5, port), 0);
    EXPECT_EQ(port, 24441);
    const std::vector<std::string> lines = cap.Lines();
    int success = cap.IndexOf("CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!");
    ASSERT_GE(success, 0);
    EXPECT_GT(cap.IndexOf("Delete server.", success), success);
}

TEST_F(ServerLifecycle, StartDMServer_PortHeldOnlyByIpv6_FailsWithoutTryingNext) {
    // A dual-stack IPv6 listener is absent from the IPv4 table, so the port looks free, but
    // CivetWeb cannot listen on it; there is no retry with the next port.
    Fd v6 = nvtest::ListenV6DualStack(kTestPorts[2]);
    if (!v6.Valid())
        GTEST_SKIP() << "no IPv6 on this machine";
    LogCapture cap;
    unsigned short port = 0;

    EXPECT_EQ(CDMServer::StartDMServer(&kTestPorts[2], 2, port), -1);

    EXPECT_EQ(port, 24443);
    EXPECT_EQ(CDMServer::s_pServer, nullptr);
    int failed = cap.IndexOf("CDMServer::StartDMServer s_pServer->StartDMServer() ERROR!!");
    ASSERT_GE(failed, 0);
    EXPECT_GT(cap.IndexOf("CDMServer::StartDMServer ERROR!!", failed), failed);
    EXPECT_FALSE(cap.Contains("CDMServer::StartDMServer Port = [24444]"));
    bool mongooseReason = false;
    for (const std::string& line : cap.Lines())
        mongooseReason |= line.rfind("[MONGOOSE] ", 0) == 0;
    EXPECT_TRUE(mongooseReason) << "CivetWeb's reason arrives through the log callback";
}

TEST_F(ServerLifecycle, StopDMServer_NoServer_DoesNothingAndLogsNothing) {
    CDMServer::s_bServerStopped.store(false);
    LogCapture cap;
    CDMServer::StopDMServer();
    EXPECT_TRUE(cap.Lines().empty());
    EXPECT_FALSE(CDMServer::s_bServerStopped.load()) << "the flag is not touched";
}

TEST(ServerObject, Destructor_RunningServer_StopsCivetWeb) {
    auto server = std::make_unique<CDMServer>(kTestPorts[4]);
    ASSERT_EQ(server->StartServer(), 1);
    ASSERT_TRUE(nvtest::WaitUntilAccepting(kTestPorts[4]));
    server->StopServer();
    server->StopServer();  // a second stop does nothing
    EXPECT_FALSE(nvtest::ConnectV4(kTestPorts[4]).Valid());
    ASSERT_EQ(server->StartServer(), 1);
    ASSERT_TRUE(nvtest::WaitUntilAccepting(kTestPorts[4]));
    server.reset();
    EXPECT_FALSE(nvtest::ConnectV4(kTestPorts[4]).Valid());
}
