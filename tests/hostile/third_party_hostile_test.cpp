// Third-party clients against the built daemon (its log-to-stderr build): Python's websockets
// library (Debian's python3-websockets, run with /usr/bin/python3) holding a WebSocket open on its
// keep-alive pings for a minute and closing it normally, and the TLS scanner testssl (Debian's
// testssl.sh) listing the protocols and suites offered. Each is skipped when its package is
// missing; scripts/install-deps.sh installs both.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/hostile/HostileSupport.h"

using namespace nvhostile;

namespace {

struct ShellResult {
    int status = -1;     // exit status, -1 when killed by a signal
    std::string output;  // standard output and standard error
};

ShellResult RunShell(const std::string& command) {
    ShellResult r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return r;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0)
        r.output.append(buf, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    return r;
}

int CountLinesEndingWith(const Daemon& daemon, const std::string& tail) {
    int n = 0;
    for (const std::string& l : daemon.LogLines())
        if (l.rfind("[WS][", 0) == 0 && l.size() >= tail.size() &&
            l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
            ++n;
    return n;
}

TEST(HostileThirdParty, PythonWebSocketsClient_HeldAMinuteOnPings_ClosedWith1000OnBothSides) {
    if (RunShell("/usr/bin/python3 -c 'import websockets'").status != 0)
        GTEST_SKIP() << "needs /usr/bin/python3 with python3-websockets";
    Daemon daemon(LogTestPath());
    ASSERT_TRUE(daemon.Start());
    // The client answers pings and sends its own every 20 s, waiting 20 s for the pong that
    // carries the ping's payload; without it the connection would end with 1011.
    ShellResult r =
        RunShell("/usr/bin/python3 " NV_SOURCE_DIR "/tests/hostile/ws_keepalive_client.py " +
                 std::to_string(daemon.Port()) + " 61");
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char* line :
         {"first_reply_ok True\n", "open_after_wait True\n", "second_reply_ok True\n",
          "close_sent 1000\n", "close_received 1000\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "in:\n" << r.output;
    // The daemon saw the keep-alive pings (four bytes of payload each) and the client's close.
    EXPECT_GE(CountLinesEndingWith(daemon, "] op:0x00000089 data_len:4\n"), 2);
    EXPECT_TRUE(WaitFor([&] { return CountLinesEndingWith(daemon, "] close code:1000\n") == 1; }));
    int status = daemon.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
    EXPECT_EQ(daemon.SanitizerReport(), "");
}

TEST(HostileThirdParty, Testssl_OnlyTls12AndTls13_OnlyAeadSuites) {
    if (access("/usr/bin/testssl", X_OK) != 0)
        GTEST_SKIP() << "needs testssl (Debian's testssl.sh)";
    Daemon daemon(ProductPath());
    ASSERT_TRUE(daemon.Start());
    // Protocols, cipher categories and every suite per protocol (about 15 s).
    ShellResult r = RunShell(
        "/usr/bin/testssl --quiet --color 0 --warnings batch -p -s -E "
        "127.0.0.1:" +
        std::to_string(daemon.Port()));
    EXPECT_EQ(r.status, 0) << r.output;
    for (const char* line :
         {" SSLv2      not offered", " SSLv3      not offered", " TLS 1      not offered",
          " TLS 1.1    not offered", " TLS 1.2    offered", " TLS 1.3    offered",
          " Obsolete CBC ciphers (AES, ARIA etc.)         not offered",
          " Strong encryption (AEAD ciphers)              offered",
          "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305",
          "TLS_AES_128_GCM_SHA256"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << " missing in:\n" << r.output;
    for (const char* suiteWord : {"_CBC_", "_RSA_WITH_", "TLS_DHE_", "_NULL_", "_RC4_", "_3DES_"})
        EXPECT_EQ(r.output.find(suiteWord), std::string::npos) << suiteWord << " in:\n" << r.output;
    EXPECT_TRUE(Healthy(daemon.Port()));
}

}  // namespace
