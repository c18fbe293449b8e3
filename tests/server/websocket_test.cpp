// WebSocket endpoint over real WSS connections to the server started in this process: every row of
// the opcode table, the placeholder and close sequence, and what CivetWeb does (and does not do) with
// pings and closes before the data callback sees them.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "LogCapture.h"
#include "WsClient.h"
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

TEST_F(WebSocketEndpoint, Ping_AnsweredByOnePongWithBraces_ConnectionStaysOpen) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    // CivetWeb does not answer pings itself: if it did, a pong echoing "abc" would show up here
    // before or after ours.
    ASSERT_TRUE(ws.Send(kWsPing, "abc"));
    WsFrame f;
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsPong);
    EXPECT_EQ(f.payload, "{}");
    EXPECT_GE(FindLine(kThread + "op:0x00000089 data_len:3\n"), 0);

    ASSERT_TRUE(ws.SendText("{\"id\":\"after-ping\",\"tabid\":\"t\"}"));
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsText) << "the next frame is the reply, not another pong";
    EXPECT_EQ(f.payload.rfind("{ \"response\": { \"id\": \"after-ping\"", 0), 0u) << f.payload;
}

TEST_F(WebSocketEndpoint, ClientClose_ConnectionEndsWithoutAnyFrame) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(m_server.Port()));
    ASSERT_TRUE(ws.Send(kWsClose, std::string("\x03\xE8", 2)));  // 1000, normal closure
    // The close reaches the data callback, which writes nothing and returns 0; CivetWeb then drops
    // the connection without a close frame of its own.
    EXPECT_TRUE(ws.ExpectClosedWithoutFrame());
    EXPECT_TRUE(WaitForLine(kThread + "op:0x00000088 data_len:2\n"));
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
    ASSERT_TRUE(ws.Send(kWsClose, ""));
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
