// WebSocket endpoint over real WSS connections to the server started in this process: every row of
// the opcode table, the placeholder and close sequence, what CivetWeb does (and does not do) with
// pings and closes before the data callback sees them, and the bounds on open WebSockets.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "WsClient.h"
#include "nv_config.h"
#include "server/TlsCompat.h"
#include "server/WebSocketEndpoint.h"
#include "tests/server/InProcessServer.h"

using namespace nvtest;

namespace {

class WebSocketEndpoint : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()); }
    void TearDown() override { m_server.Stop(); }

    // Index of the first captured line that matches the pattern whole, or -1.
    int FindLine(const std::string& pattern, int from = 0) {
        std::regex re(pattern);
        auto lines = m_cap.Lines();
        for (std::size_t i = static_cast<std::size_t>(from); i < lines.size(); ++i)
            if (std::regex_match(lines[i], re))
                return static_cast<int>(i);
        return -1;
    }
    bool WaitForLine(const std::string& pattern) {
        return WaitFor([&] { return FindLine(pattern) >= 0; }, 20s);
    }
    bool HandlerCalled() { return FindLine("\\[WS\\] response :[\\s\\S]*") >= 0; }

    // The placeholder reply: a text frame "{}", then a close frame without payload.
    void ExpectPlaceholderAndClose(WsClient& ws, const std::string& what) {
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame) << what;
        EXPECT_EQ(f.opcode, kWsText) << what;
        EXPECT_TRUE(f.fin) << what;
        EXPECT_EQ(f.payload, "{}") << what;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame) << what;
        EXPECT_EQ(f.opcode, kWsClose) << what;
        EXPECT_EQ(f.payload, "") << what;
    }

    LogCapture m_cap;
    InProcessServer m_server;
};

const std::string kThread = "\\[WS\\]\\[[0-9]+\\] ";

}  // namespace

TEST_F(WebSocketEndpoint, TextFrame_Request_OneTextFrameWithTheEnvelope) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port(), "/any/path?and=query"));
    const std::string request =
        "{\"id\":\"7\",\"tabid\":\"t1\",\"callback\":\"cb\",\"origin\":\"https://a\"}";
    ASSERT_TRUE(ws.SendText(request));

    WsFrame f;
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsText);
    EXPECT_TRUE(f.fin);
    EXPECT_EQ(f.payload.rfind("{ \"response\": { \"id\": \"7\", \"tabid\": \"t1\", \"callback\": "
                              "\"cb\", \"status\": \"TRUE\"",
                              0),
              0u)
        << f.payload;
    EXPECT_NE(f.payload.find("sample"), std::string::npos)
        << "the sample module's reply: " << f.payload;
    EXPECT_TRUE(ws.QuietFor(300ms)) << "exactly one frame per request";

    // Connect before ready; then the frame's lines, in order, with the whole first byte.
    int connect = FindLine(kThread + "websocket_connect : 0x[0-9a-f]+\n");
    int ready = FindLine(kThread + "websocket_ready : 0x[0-9a-f]+\n");
    EXPECT_GE(connect, 0);
    EXPECT_GT(ready, connect);
    int op = FindLine(kThread + "op:0x00000081 data_len:" + std::to_string(request.size()) + "\n");
    ASSERT_GE(op, 0);
    const std::string textLine = m_cap.Lines()[static_cast<std::size_t>(op) + 1];
    const std::string tail = "] text:" + request + "\n";
    EXPECT_EQ(textLine.rfind("[WS][", 0), 0u) << textLine;
    EXPECT_TRUE(textLine.size() > tail.size() &&
                textLine.compare(textLine.size() - tail.size(), tail.size(), tail) == 0)
        << textLine;
    EXPECT_TRUE(m_cap.Contains("[WS] response :" + f.payload + "\n"));
}

TEST_F(WebSocketEndpoint, PlaceholderFrames_EachAnsweredWithBracesThenClose) {
    struct Case {
        const char* what;
        int opcode;
        std::string payload;
    } cases[] = {
        {"[object Object]", kWsText, "[object Object]"},
        {"empty text", kWsText, ""},
        {"binary", kWsBinary, std::string("\x01\x02{\"id\":\"1\"}", 12)},
        {"pong", kWsPong, "x"},
        {"reserved opcode 3", 0x3, "abc"},
    };
    for (const Case& c : cases) {
        WsClient ws;
        ASSERT_TRUE(ws.Open(m_server.Port())) << c.what;
        ASSERT_TRUE(ws.Send(c.opcode, c.payload)) << c.what;
        ExpectPlaceholderAndClose(ws, c.what);
        // The client answers the close; the server then ends the connection without a frame.
        ASSERT_TRUE(ws.Send(kWsClose, ""));
        EXPECT_TRUE(ws.ExpectClosedWithoutFrame()) << c.what;
    }
    EXPECT_FALSE(HandlerCalled()) << "placeholders never reach the request handler";
    EXPECT_GE(FindLine(kThread + "op:0x00000082 data_len:12\n"), 0);
    EXPECT_GE(FindLine(kThread + "text:\\[object Object\\]\n"), 0);
    EXPECT_GE(FindLine(kThread + "text:\n"), 0);
}

TEST_F(WebSocketEndpoint, Fragments_DeliveredFrameByFrame_ContinuationGetsPlaceholder) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    // CivetWeb does not join fragments: the first one (a text frame without FIN) is a request of its
    // own, the continuation that follows is answered like a binary frame.
    ASSERT_TRUE(ws.Send(kWsText, "{\"id\":\"f1\",\"tabid\":\"t\"}", /*fin=*/false));
    ASSERT_TRUE(ws.Send(kWsContinuation, "{\"id\":\"f2\"}", /*fin=*/true));
    WsFrame f;
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsText);
    EXPECT_EQ(f.payload.rfind("{ \"response\": { \"id\": \"f1\"", 0), 0u) << f.payload;
    ExpectPlaceholderAndClose(ws, "continuation");
    EXPECT_GE(FindLine(kThread + "op:0x00000001 data_len:23\n"), 0);
    EXPECT_GE(FindLine(kThread + "op:0x00000080 data_len:11\n"), 0);
}

TEST_F(WebSocketEndpoint, Ping_AnsweredByOnePongEchoingItsPayload_ConnectionStaysOpen) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    // CivetWeb does not answer pings itself: if it did, a second pong would show up here before or
    // after ours. RFC 6455: the pong carries the ping's payload, an empty one for an empty ping.
    for (const std::string& payload : {std::string("abc"), std::string()}) {
        ASSERT_TRUE(ws.Send(kWsPing, payload));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(f.opcode, kWsPong);
        EXPECT_EQ(f.payload, payload);
    }
    EXPECT_GE(FindLine(kThread + "op:0x00000089 data_len:3\n"), 0);

    WsFrame f;
    ASSERT_TRUE(ws.SendText("{\"id\":\"after-ping\",\"tabid\":\"t\"}"));
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsText) << "the next frame is the reply, not another pong";
    EXPECT_EQ(f.payload.rfind("{ \"response\": { \"id\": \"after-ping\"", 0), 0u) << f.payload;
}

TEST_F(WebSocketEndpoint, ClientClose_AnsweredByACloseEchoingTheCode_ThenTheConnectionEnds) {
    // With a status code (and a reason, which is not echoed), and without any payload.
    const struct {
        std::string sent, echoed;
        const char* logged;
    } cases[] = {{std::string("\x03\xE8"
                              "bye",
                              5),
                  std::string("\x03\xE8", 2), "1000"},
                 {std::string("\x0F\xA1", 2), std::string("\x0F\xA1", 2), "4001"},
                 {std::string(), std::string(), "0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        WsClient ws;
        ASSERT_TRUE(ws.Open(m_server.Port()));
        ASSERT_TRUE(ws.Send(kWsClose, c.sent));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(f.opcode, kWsClose);
        EXPECT_EQ(f.payload, c.echoed);
        EXPECT_TRUE(ws.ExpectClosedWithoutFrame()) << "nothing after the close, then the end";
        EXPECT_TRUE(WaitForLine(kThread + "close code:" + c.logged + "\n"));
    }
    EXPECT_TRUE(WaitForLine(kThread + "op:0x00000088 data_len:5\n"));
    EXPECT_FALSE(HandlerCalled());
}

TEST_F(WebSocketEndpoint, AfterServerClose_ServerKeepsReadingUntilTheClientCloses) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    ASSERT_TRUE(ws.SendText("[object Object]"));
    ExpectPlaceholderAndClose(ws, "[object Object]");
    // The connection is still read: a ping sent now is answered.
    ASSERT_TRUE(ws.Send(kWsPing, ""));
    WsFrame f;
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsPong);
    // The client's close answers the server's: no second close frame comes back.
    ASSERT_TRUE(ws.Send(kWsClose, std::string("\x03\xE8", 2)));
    EXPECT_TRUE(ws.ExpectClosedWithoutFrame());
}

TEST_F(WebSocketEndpoint, GetVersions_VersionMembersBeforeResponse) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    ASSERT_TRUE(ws.SendText(
        "{\"init\":\"get_versions\",\"m\":\"VelstraClient\",\"id\":\"v\",\"tabid\":\"t\"}"));
    WsFrame f;
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.payload.rfind("{ \"daemon\": \"1.0.1.1\", \"ex\": \"1.0.1.1013\", \"m\": { "
                              "\"name\": \"VelstraClient\", "
                              "\"version\": \"3.3.2.25\" }, \"response\": { \"id\": \"v\", "
                              "\"tabid\": \"t\", \"callback\": \"\", "
                              "\"status\": \"TRUE\"",
                              0),
              0u)
        << f.payload;
}

TEST_F(WebSocketEndpoint, OpenWebSockets_BoundedPerOriginAndInAll_SlotsComeBackWhenClosed) {
    const unsigned short port = m_server.Port();
    auto originHeader = [](int n) {
        return "Origin: https://o" + std::to_string(n) + ".example\r\n";
    };
    // A handshake past a bound gets the rejection, and the page's client goes on over HTTPS.
    auto expectRefused = [&](const std::string& headers, const std::string& what) {
        WsClient ws;
        ::testing::AssertionResult r = ws.Open(port, "/", headers);
        EXPECT_FALSE(r) << what;
        EXPECT_NE(std::string(r.message()).find(kRejectionText), std::string::npos)
            << what << ": " << r.message();
    };
    std::vector<std::unique_ptr<WsClient>> open;
    auto openOne = [&](const std::string& headers) {
        auto ws = std::make_unique<WsClient>();
        ::testing::AssertionResult r = ws->Open(port, "/", headers);
        open.push_back(std::move(ws));
        return r;
    };

    for (int i = 0; i < kMaxWebSocketsPerOrigin; ++i)
        ASSERT_TRUE(openOne(originHeader(0)));
    expectRefused(originHeader(0), "one more for the same origin");
    EXPECT_TRUE(WaitForLine(kThread +
                            "websocket_upgrade : WebSocket refused, 4 open, 4 for origin " +
                            "\\(https://o0\\.example\\)\n"));
    // Handshakes without an Origin header (not a browser's) count for the total only.
    for (int i = 0; i < kMaxWebSocketsPerOrigin + 2; ++i)
        ASSERT_TRUE(openOne(""));

    // Other origins fill the rest, up to the bound in all.
    for (int n = 1; static_cast<int>(open.size()) < kMaxOpenWebSockets; ++n)
        for (int i = 0;
             i < kMaxWebSocketsPerOrigin && static_cast<int>(open.size()) < kMaxOpenWebSockets; ++i)
            ASSERT_TRUE(openOne(originHeader(n)));
    EXPECT_EQ(OpenWebSocketCount(), kMaxOpenWebSockets);
    expectRefused(originHeader(99), "a new origin past the bound in all");
    expectRefused("", "one without an Origin past the bound in all");
    // The workers left over serve HTTP.
    EXPECT_EQ(HttpExchange(port, BuildRequest("GET", "/?dmPortScan", "")).raw, kProbeAnswerText);
    HttpResponse post = HttpExchange(
        port, BuildPost("request=" +
                        FormEncode("{\"id\":\"p\",\"tabid\":\"t\",\"origin\":\"https://b\"}")));
    EXPECT_NE(post.body.find("\"status\": \"TRUE\""), std::string::npos) << post.raw;

    // A WebSocket that ends, cleanly or not, gives its slot back.
    ASSERT_TRUE(open[0]->Send(kWsClose, std::string("\x03\xE8", 2)));
    open.erase(open.begin());
    open.back().reset();  // dropped without a close
    open.pop_back();
    EXPECT_TRUE(WaitFor([] { return OpenWebSocketCount() == kMaxOpenWebSockets - 2; }));
    ASSERT_TRUE(openOne(originHeader(0)));
    ASSERT_TRUE(openOne(originHeader(98)));
    open.clear();
    EXPECT_TRUE(WaitFor([] { return OpenWebSocketCount() == 0; }));
}

TEST(WebSocketIdle, IdleWebSocket_ClosedWithGoingAwayAfterTheBound_ActiveOneStaysOpen) {
    constexpr auto kIdle = std::chrono::milliseconds(1500);
    NV_SetTlsLimits(NV_REQUEST_TIMEOUT_MS, kIdle.count());
    LogCapture cap;
    InProcessServer server;
    ASSERT_TRUE(server.Start());
    WsClient idle, active;
    ASSERT_TRUE(idle.Open(server.Port()));
    // (The server's idle time starts when it answers the handshake, a moment before this.)
    const auto opened = Clock::now() - 100ms;
    ASSERT_TRUE(active.Open(server.Port()));

    // The active one pings twice per bound and gets its pongs, while the idle one is closed with a
    // close frame of status 1001 (going away), after which the connection ends.
    WsFrame f;
    WsClient::Read r = WsClient::Read::kTimeout;
    int pongs = 0;
    while (r == WsClient::Read::kTimeout && Clock::now() - opened < 60s) {
        ASSERT_TRUE(active.Send(kWsPing, "keep"));
        WsFrame pong;
        ASSERT_EQ(active.ReadFrame(pong), WsClient::Read::kFrame);
        EXPECT_EQ(pong.payload, "keep");
        ++pongs;
        r = idle.ReadFrame(f, kIdle / 2);
    }
    const auto closedAfter = Clock::now() - opened;
    ASSERT_EQ(r, WsClient::Read::kFrame) << ReadName(r);
    EXPECT_EQ(f.opcode, kWsClose);
    EXPECT_EQ(f.payload, std::string("\x03\xE9", 2));
    EXPECT_TRUE(idle.ExpectClosedWithoutFrame());
    EXPECT_GE(closedAfter, kIdle) << "closed before the bound";
    EXPECT_GE(pongs, 2);

    // The active one, past several bounds by now, still serves requests.
    ASSERT_TRUE(active.SendText("{\"id\":\"still\",\"tabid\":\"t\"}"));
    ASSERT_EQ(active.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.payload.rfind("{ \"response\": { \"id\": \"still\"", 0), 0u) << f.payload;
    EXPECT_TRUE(WaitFor([&] {
        for (const std::string& l : cap.Lines())
            if (l.rfind("[TLS][", 0) == 0 &&
                l.find("] connection ended : WebSocket idle\n") != std::string::npos)
                return true;
        return false;
    }));
    server.Stop();
    NV_SetTlsLimits(NV_REQUEST_TIMEOUT_MS, NV_WS_IDLE_TIMEOUT_MS);
}
