// The built program end to end: the started process and the forked daemon, exit statuses,
// standard output and error, the TLS endpoint on the fixed ports, and the log lines of the stop
// (from the log-to-stderr build of the same sources).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Loopback.h"
#include "E2eProcess.h"
#include "nv_config.h"

namespace {

using namespace nve2e;
using namespace std::chrono_literals;

const char* const kBanner = "Norrim Velstra version 1.0.1.1013,(1.0.1.1) (Dec 15 2020 14:04:06)\n";

// A socket descriptor owned for the test's scope.
class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

bool Accepting(unsigned short port) {
    Socket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa = LoopbackAddress(port);
    return s.Get() >= 0 && connect(s.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
}

bool WaitUntilAccepting(unsigned short port, std::chrono::seconds limit = 30s) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (Accepting(port))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// True when some socket listens on the port in the IPv4 table.
bool SomethingListensOn(unsigned short port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        unsigned localPort = 0, state = 0;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %x", &localPort, &state) == 2 &&
            localPort == port && state == 0x0A)
            return true;
    }
    return false;
}

// The chain check that a browser would make, with the staged root CA.
CommandResult VerifyTls(unsigned short port) {
    const std::string root = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;
    return RunCommand("openssl", {"s_client", "-verify_return_error", "-CAfile", root, "-connect",
                                  "127.0.0.1:" + std::to_string(port)});
}

std::string Describe(int status) {
    if (status == -1)
        return "did not end in time";
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

class DaemonE2E : public testing::Test {
protected:
    void SetUp() override {
        BecomeSubreaper();
        char dirTemplate[] = "/tmp/nv_e2e_home_XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_home = dirTemplate;
    }

    // Another program (or a daemon that outlived an earlier crashed run) may still hold a fixed
    // port for a moment; a test that expects the daemon on a port needs it and those before it
    // free.
    static void RequireFreeUpTo(unsigned short lastPort) {
        auto deadline = Clock::now() + 90s;
        for (unsigned short port = 4441; port <= lastPort; ++port) {
            while (SomethingListensOn(port) && Clock::now() < deadline)
                std::this_thread::sleep_for(100ms);
            ASSERT_FALSE(SomethingListensOn(port))
                << "port " << port << " is taken by another program";
        }
    }
    void TearDown() override {
        // Never leave a daemon behind, whatever failed.
        KillAllChildren();
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }

    // Starts the program and waits for the started process (not the daemon) to end.
    std::unique_ptr<Launched> Start(const char* binary, const std::vector<std::string>& args,
                                    int& status) {
        auto launched = std::make_unique<Launched>(binary, args);
        status = WaitExit(launched->Pid());
        return launched;
    }

    // Starts the log build serving (-S in the temporary home): the started process ends with 0, it
    // forked exactly one daemon (daemon), and that daemon logged its successful start.
    void StartServingLogBuild(std::unique_ptr<Launched>& run, pid_t& daemon) {
        int status = 0;
        run = Start(NV_DAEMON_LOGTEST_BINARY, {"-H", m_home, "-S"}, status);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
        daemon = TheDaemon();
        ASSERT_GT(daemon, 0);
        ASSERT_TRUE(run->Err().WaitFor([](const std::string& text) {
            return IndexOf(LogLines(text),
                           "CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!") >= 0;
        })) << run->Err().Text();
    }

    // The one daemon the started program forked, now a child of this process.
    pid_t TheDaemon() {
        std::vector<pid_t> children = ChildrenOfThisProcess();
        EXPECT_EQ(children.size(), 1u) << "expected exactly one forked daemon";
        return children.empty() ? -1 : children.front();
    }

    std::string m_home;
};

}  // namespace

TEST_F(DaemonE2E,
       Program_ServingMode_ParentExitsZeroAndDetachedDaemonServesVerifiedTlsUntilSigint) {
    ASSERT_NO_FATAL_FAILURE(RequireFreeUpTo(4441));
    int status = 0;
    auto run = Start(NV_DAEMON_BINARY, {"-H", m_home, "-S"}, status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
    pid_t daemon = TheDaemon();
    ASSERT_GT(daemon, 0);

    ASSERT_TRUE(WaitUntilAccepting(4441));
    CommandResult tls = VerifyTls(4441);
    EXPECT_TRUE(WIFEXITED(tls.status) && WEXITSTATUS(tls.status) == 0)
        << Describe(tls.status) << "\n"
        << tls.output;
    EXPECT_NE(tls.output.find("Verify return code: 0 (ok)"), std::string::npos) << tls.output;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/cwd"),
              std::filesystem::path(m_home))
        << "the daemon works in the home directory";
    // Only the installation shows a dialog: a serving daemon must not carry GTK's libraries.
    std::ifstream maps("/proc/" + std::to_string(daemon) + "/maps");
    std::string mapsText((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    EXPECT_NE(mapsText.find("libssl"), std::string::npos) << "maps not readable";
    EXPECT_EQ(mapsText.find("libgtk-3"), std::string::npos)
        << "GTK is mapped into the serving daemon";

    // The daemon has left its caller: a caller reading the start's output to its end (`| cat`,
    // `$(...)`) gets end of file while the daemon serves, and a signal to the caller's session or
    // process group does not reach it.
    ASSERT_TRUE(run->Err().WaitForEof()) << "the daemon holds the caller's standard error";
    ASSERT_TRUE(run->Out().WaitForEof()) << "the daemon holds the caller's standard output";
    EXPECT_TRUE(Accepting(4441));
    EXPECT_EQ(getsid(daemon), daemon) << "the daemon leads a session of its own";
    EXPECT_EQ(getpgid(daemon), daemon);
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/fd/" +
                                                std::to_string(fd)),
                  std::filesystem::path("/dev/null"))
            << "fd " << fd;

    ASSERT_EQ(kill(daemon, SIGINT), 0);
    int daemonStatus = WaitExit(daemon);
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 255)
        << Describe(daemonStatus);
    EXPECT_FALSE(Accepting(4441));
    EXPECT_EQ(run->Err().Text(), "USER HOME = " + m_home + "\n") << "the product writes no log";
    EXPECT_EQ(run->Out().Text(), "");
}

class DaemonStopSignalE2E : public DaemonE2E, public testing::WithParamInterface<int> {};

TEST_P(DaemonStopSignalE2E, LogBuild_StopSignal_LogsStopInOrderAndExits255) {
    ASSERT_NO_FATAL_FAILURE(RequireFreeUpTo(4441));
    const int signo = GetParam();
    std::unique_ptr<Launched> run;
    pid_t daemon = -1;
    ASSERT_NO_FATAL_FAILURE(StartServingLogBuild(run, daemon));

    ASSERT_EQ(kill(daemon, signo), 0);
    int daemonStatus = WaitExit(daemon);
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 255)
        << Describe(daemonStatus);
    ASSERT_TRUE(run->Err().WaitForEof());

    const std::vector<std::string> lines = LogLines(run->Err().Text());
    const std::string all = run->Err().Text();
    // Start-up: the refused installation at SIGKILL comes before the daemon's start line.
    int refused = IndexOf(lines, "can not cactch 9, (index : 8)\n");
    int start = IndexOf(lines, "[DAEMON] Start Demon Local Server");
    int port = IndexOf(lines, "CDMServer::StartDMServer Port = [4441]", start);
    int success =
        IndexOf(lines, "CDMServer::StartDMServer s_pServer->StartDMServer() SUCCESS!!", port);
    EXPECT_GE(refused, 0) << all;
    EXPECT_GT(start, refused) << all;
    EXPECT_GT(port, start) << all;
    EXPECT_GT(success, port) << all;
    // The stop, in this order, and nothing of the normal end.
    int sep1 = IndexOf(lines, "=================================\n", success);
    int sep2 = IndexOf(lines, "=================================\n", sep1 + 1);
    int got = IndexOf(
        lines,
        "I GOT SIGNAL!!!!! PID : " + std::to_string(daemon) + " (" + std::to_string(signo) + ")\n",
        sep2 + 1);
    int deleted = IndexOf(lines, "Delete server.", got + 1);
    int exitLine =
        IndexOf(lines, "\n[APP_EXIT][vexHTTPServer_Linux:sig_handler:187] -1\n", deleted + 1);
    EXPECT_GT(sep1, success) << all;
    EXPECT_EQ(sep2, sep1 + 1) << all;
    EXPECT_EQ(got, sep2 + 1) << all;
    EXPECT_GT(deleted, got) << all;
    EXPECT_GT(exitLine, deleted) << all;
    EXPECT_EQ(exitLine, static_cast<int>(lines.size()) - 1) << "the exit line is the last one\n"
                                                            << all;
    EXPECT_EQ(IndexOf(lines, "[DAEMON] End Demon Local Server"), -1) << all;
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonStopSignalE2E, testing::Values(SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& param) {
                             return param.param == SIGINT ? std::string("SIGINT")
                                                          : std::string("SIGHUP");
                         });

TEST_F(DaemonE2E, LogBuild_FirstPortTakenByAnotherListener_ServesOnNextPort) {
    ASSERT_NO_FATAL_FAILURE(RequireFreeUpTo(4442));
    Socket other(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa = LoopbackAddress(4441);
    // Connections of earlier tests may linger on the port in TIME_WAIT.
    int one = 1;
    ASSERT_EQ(setsockopt(other.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)), 0);
    ASSERT_EQ(bind(other.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0)
        << std::strerror(errno);
    ASSERT_EQ(listen(other.Get(), 4), 0);

    std::unique_ptr<Launched> run;
    pid_t daemon = -1;
    ASSERT_NO_FATAL_FAILURE(StartServingLogBuild(run, daemon));
    EXPECT_GE(IndexOf(LogLines(run->Err().Text()), "CDMServer::StartDMServer Port = [4442]"), 0)
        << run->Err().Text();

    ASSERT_TRUE(WaitUntilAccepting(4442));
    CommandResult tls = VerifyTls(4442);
    EXPECT_TRUE(WIFEXITED(tls.status) && WEXITSTATUS(tls.status) == 0)
        << Describe(tls.status) << "\n"
        << tls.output;

    ASSERT_EQ(kill(daemon, SIGHUP), 0);
    int daemonStatus = WaitExit(daemon);
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 255)
        << Describe(daemonStatus);
}

TEST_F(DaemonE2E, Program_VersionSwitch_PrintsBannerOnceThenServes) {
    ASSERT_NO_FATAL_FAILURE(RequireFreeUpTo(4441));
    int status = 0;
    auto run = Start(NV_DAEMON_BINARY, {"-H", m_home, "-V"}, status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
    pid_t daemon = TheDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(WaitUntilAccepting(4441));

    ASSERT_EQ(kill(daemon, SIGINT), 0);
    int daemonStatus = WaitExit(daemon);
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 255)
        << Describe(daemonStatus);
    ASSERT_TRUE(run->Out().WaitForEof());
    EXPECT_EQ(run->Out().Text(), kBanner) << "printed once, by the started process";
}

TEST_F(DaemonE2E, LogBuild_SingleUnknownArgument_ExitsZeroWithoutForking) {
    for (const char* arg : {"foo", "-X"}) {
        int status = 0;
        auto run = Start(NV_DAEMON_LOGTEST_BINARY, {arg}, status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << arg << ": " << Describe(status);
        EXPECT_TRUE(ChildrenOfThisProcess().empty()) << arg << ": nothing was forked";
        ASSERT_TRUE(run->Err().WaitForEof());
        ASSERT_TRUE(run->Out().WaitForEof());
        EXPECT_EQ(run->Err().Text(), "") << arg << ": no log line, no daemon";
        EXPECT_EQ(run->Out().Text(), "") << arg;
    }
}

TEST_F(DaemonE2E, Program_PrintHomeSwitch_PrintsGivenHomeAndForksNothing) {
    int status = 0;
    auto run = Start(NV_DAEMON_BINARY, {"-H", m_home, "-N"}, status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
    EXPECT_TRUE(ChildrenOfThisProcess().empty());
    ASSERT_TRUE(run->Out().WaitForEof());
    EXPECT_EQ(run->Out().Text(), m_home) << "no newline after the directory";
    EXPECT_EQ(run->Err().Text(), "USER HOME = " + m_home + "\n");
}

TEST_F(DaemonE2E, LogBuild_Sigterm_KeepsDefaultActionWithoutStopLines) {
    ASSERT_NO_FATAL_FAILURE(RequireFreeUpTo(4441));
    // The handler table stops at SIGKILL, so SIGTERM ends the daemon the system's way.
    std::unique_ptr<Launched> run;
    pid_t daemon = -1;
    ASSERT_NO_FATAL_FAILURE(StartServingLogBuild(run, daemon));

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    int daemonStatus = WaitExit(daemon);
    EXPECT_TRUE(WIFSIGNALED(daemonStatus) && WTERMSIG(daemonStatus) == SIGTERM)
        << Describe(daemonStatus);
    ASSERT_TRUE(run->Err().WaitForEof());
    EXPECT_EQ(IndexOf(LogLines(run->Err().Text()), "Delete server."), -1) << run->Err().Text();
}
