// The read guard's deadlines, against the server in this process with a request time-out shortened
// to two seconds (CivetWeb's own silence time-out stays at 30 s, so every cut seen here is the
// guard's): a client trickling a byte every 100 ms is cut on every road within the time-out of its
// request's first byte, a client gone silent after a refusal as well, a kept-alive connection whose
// request was answered is not, and a worker pool held by tricklers is free again for a probe.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "nv_config.h"
#include "server/TlsCompat.h"
#include "tests/server/InProcessServer.h"

using namespace nvtest;

namespace {

constexpr auto kRequestTimeOut = std::chrono::milliseconds(2000);
// Cut within the time-out, measured from the first byte; the slack is for a loaded machine, and is
// still far below the 30 s after which CivetWeb would end any of these clients by itself.
constexpr auto kCutSlack = std::chrono::milliseconds(8000);
constexpr int kWorkerThreads = 25;

class RequestDeadline : public ::testing::Test {
protected:
    void SetUp() override {
        NV_SetTlsLimits(kRequestTimeOut.count(), NV_WS_IDLE_TIMEOUT_MS);
        ASSERT_TRUE(m_server.Start());
    }
    void TearDown() override {
        m_server.Stop();
        NV_SetTlsLimits(NV_REQUEST_TIMEOUT_MS, NV_WS_IDLE_TIMEOUT_MS);
    }
    unsigned short Port() const { return m_server.Port(); }

    LogCapture m_cap;
    InProcessServer m_server;
};

// A client that sends `opening` at once and then the rest of `text` a byte every 100 ms, and notes
// when the server ends the connection, counted from its first byte.
struct Trickler {
    std::string name;
    std::string opening;
    std::string text;
    std::unique_ptr<TlsConnection> conn = std::make_unique<TlsConnection>();
    std::size_t sent = 0;
    Clock::time_point firstByte{};
    bool closed = false;
    Clock::duration heldFor{};
};

// Runs the tricklers until each is cut or `limit` has passed.
void Trickle(std::vector<Trickler>& tricklers, std::chrono::milliseconds limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
        bool anyOpen = false;
        for (auto& t : tricklers) {
            if (t.closed)
                continue;
            std::string in;
            const bool ended =
                (t.sent < t.text.size() && !t.conn->Write(t.text.substr(t.sent++, 1))) ||
                t.conn->ReadSome(in, 1ms) == TlsConnection::ReadResult::kClosed;
            if (ended) {
                t.closed = true;
                t.heldFor = Clock::now() - t.firstByte;
            }
            anyOpen = anyOpen || !t.closed;
        }
        if (!anyOpen)
            break;
        std::this_thread::sleep_for(100ms);
    }
}

// Connects and sends the opening part; the trickle starts from there.
::testing::AssertionResult Begin(Trickler& t, unsigned short port) {
    if (!t.conn->Connect(port))
        return ::testing::AssertionFailure() << t.name << ": no connection";
    t.firstByte = Clock::now();
    if (!t.opening.empty() && !t.conn->Write(t.opening))
        return ::testing::AssertionFailure() << t.name << ": opening not sent";
    return ::testing::AssertionSuccess();
}

Trickler Make(const std::string& name, const std::string& opening, const std::string& rest) {
    Trickler t;
    t.name = name;
    t.opening = opening;
    t.text = rest;
    return t;
}

bool AnyLineEndsWith(const LogCapture& cap, const std::string& tail) {
    for (const std::string& l : cap.Lines())
        if (l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0 &&
            l.rfind("[TLS][", 0) == 0)
            return true;
    return false;
}

const std::string kProbe = BuildRequest("GET", "/?dmPortScan", "");
const std::string kMismatch = "Origin: https://a.example\r\nReferer: https://b.example/page\r\n";

}  // namespace

TEST_F(RequestDeadline, TricklingClientOnEveryRoad_CutWithinTheTimeOutOfItsFirstByte) {
    const std::string endless(1000, 'x');
    std::vector<Trickler> t;
    t.push_back(Make("probe header", "", "GET /?dmPortScan HTTP/1.1\r\nX-Slow: " + endless));
    t.push_back(Make("POST body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n",
                     "request=" + std::string(992, 'b')));
    // Refused at once; CivetWeb then drains the announced body, which is what trickles.
    t.push_back(Make("Origin/Referer refusal",
                     BuildRequest("POST", "/", kMismatch + "Content-Length: 1000000\r\n"),
                     endless));
    t.push_back(Make(
        "over-cap refusal",
        BuildRequest("POST", "/",
                     "Content-Length: " + std::to_string(NV_MAX_REQUEST_BODY_BYTES + 1) + "\r\n"),
        endless));
    t.push_back(Make("probe with a body",
                     BuildRequest("GET", "/?dmPortScan", "Content-Length: 1000000\r\n"), endless));
    t.push_back(Make("WebSocket handshake", "",
                     "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nX-Slow: " +
                         endless));
    // Refused, and then nothing at all: only the deadline (not a read) can end it.
    t.push_back(Make("silent after a refusal",
                     BuildRequest("POST", "/", kMismatch + "Content-Length: 1000000\r\n"), ""));
    for (auto& c : t)
        ASSERT_TRUE(Begin(c, Port()));

    // A kept-alive connection: its first request is answered whole; the second one trickles, and
    // its time counts from its own first byte.
    Trickler second = Make("second request on a kept-alive connection", "",
                           "GET /?dmPortScan HTTP/1.1\r\nX-Slow: " + endless);
    ASSERT_TRUE(second.conn->Connect(Port()));
    ASSERT_TRUE(second.conn->Write(kProbe));
    std::string pending;
    ASSERT_EQ(ReadHttpResponse(*second.conn, pending).raw, kProbeAnswerText);
    std::this_thread::sleep_for(
        kRequestTimeOut);  // longer than the time-out, idle between requests
    second.firstByte = Clock::now();
    t.push_back(std::move(second));

    // Another kept-alive connection, answered and then idle: not a request, so not cut.
    TlsConnection kept;
    ASSERT_TRUE(kept.Connect(Port()));
    ASSERT_TRUE(kept.Write(kProbe));
    std::string keptPending;
    ASSERT_EQ(ReadHttpResponse(kept, keptPending).raw, kProbeAnswerText);

    Trickle(t, 25s);
    for (const auto& c : t) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.closed) << "still open after 25 s";
        EXPECT_GE(c.heldFor, kRequestTimeOut - 200ms) << "cut early";
        EXPECT_LT(c.heldFor, kRequestTimeOut + kCutSlack) << "held past the time-out";
    }
    EXPECT_TRUE(
        WaitFor([&] { return AnyLineEndsWith(m_cap, "] connection ended : request time-out\n"); }));

    // The idle kept-alive connection outlived them all and serves its next request.
    ASSERT_TRUE(kept.Write(kProbe));
    EXPECT_EQ(ReadHttpResponse(kept, keptPending).raw, kProbeAnswerText);
}

TEST_F(RequestDeadline, EveryWorkerHeldByATricklingRefusedPost_ProbeAnsweredAfterTheTimeOut) {
    std::vector<Trickler> t;
    for (int i = 0; i < kWorkerThreads; ++i) {
        t.push_back(Make("refused POST " + std::to_string(i),
                         BuildRequest("POST", "/", kMismatch + "Content-Length: 1000000\r\n"),
                         std::string(1000, 'x')));
        ASSERT_TRUE(Begin(t.back(), Port()));
    }
    // Every worker is now draining a body that drips; a probe waits for one of them.
    auto probe = std::async(std::launch::async, [&] {
        TlsConnection conn;
        if (!conn.Connect(Port(), 60s) || !conn.Write(kProbe))
            return HttpResponse{};
        std::string pending;
        return ReadHttpResponse(conn, pending, false, 60s);
    });
    Trickle(t, 25s);
    for (const auto& c : t) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.closed);
        EXPECT_LT(c.heldFor, kRequestTimeOut + kCutSlack);
    }
    EXPECT_EQ(probe.get().raw, kProbeAnswerText);
    const std::string request = "{\"id\":\"after\",\"tabid\":\"t\",\"origin\":\"https://a\"}";
    HttpResponse post = HttpExchange(Port(), BuildPost("request=" + FormEncode(request)));
    EXPECT_NE(post.body.find("\"status\": \"TRUE\""), std::string::npos) << post.raw;
}
