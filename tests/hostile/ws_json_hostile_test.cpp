// Hostile WebSocket frames and hostile JSON against the built daemon: frame headers announcing
// gigabytes, fragments, unmasked and reserved frames, close frames with reasons, ping floods; JSON
// nested beyond the parser's depth, huge, not UTF-8, with NUL bytes, duplicate keys and non-string
// ids. After each group the daemon answers a probe and a module call, within a memory bound.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/hostile/HostileSupport.h"

using namespace nvhostile;

namespace {

class HostileWsJson : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.Start()); }
    void TearDown() override {
        int status = m_daemon.Stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
        EXPECT_EQ(m_daemon.SanitizerReport(), "");
    }
    unsigned short Port() const { return m_daemon.Port(); }
    pid_t Pid() const { return m_daemon.Pid(); }

    // One text frame out, the one frame that answers it back.
    WsFrame RoundTrip(WsClient& ws, const std::string& text) {
        WsFrame f;
        EXPECT_TRUE(ws.SendText(text));
        EXPECT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        return f;
    }
    // The module's invoke counter as the next call reports it (the call itself included).
    long InvokeCount(const std::string& tag) {
        ReplyEnvelope env = ParseEnvelope(
            PostJson(Port(), "{\"id\":\"" + tag +
                                 "\",\"tabid\":\"c\",\"origin\":\"https://count.example\"}")
                .body);
        return ParseSampleReply(env.reply).invokeCalls;
    }

    Daemon m_daemon{ProductPath()};
};

// A masked client frame header announcing `length` payload bytes, with none of them following.
std::string HeaderOnly(int firstByte, uint64_t length) {
    std::string h;
    h += static_cast<char>(firstByte);
    if (length < 126) {
        h += static_cast<char>(0x80 | length);
    } else if (length <= 0xFFFF) {
        h += static_cast<char>(0x80 | 126);
        h += static_cast<char>(length >> 8);
        h += static_cast<char>(length & 0xFF);
    } else {
        h += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            h += static_cast<char>((length >> shift) & 0xFF);
    }
    return h + std::string("\x11\x22\x33\x44", 4);
}

TEST_F(HostileWsJson, FrameHeadersAnnouncingGigabytes_RefusedBeforeAnythingIsAllocated) {
    ASSERT_TRUE(Healthy(Port(), "warm-up"));
    const long vmBefore = ProcStatus(Pid(), "VmSize");
    const long rssBefore = RssKb(Pid());
    // CivetWeb itself would allocate up to 0x7FFF0000 bytes the moment such a header is complete;
    // four at once would add 8 GiB of address space. Each is refused: the connection ends, no frame.
    std::vector<std::unique_ptr<WsClient>> clients;
    for (uint64_t length :
         {0x7FFF0000ULL, 0x7FFF0000ULL, 1ULL << 30, (64ULL << 20) + 1, 1ULL << 63}) {
        auto ws = std::make_unique<WsClient>();
        ASSERT_TRUE(ws->Open(Port()));
        ASSERT_TRUE(ws->Connection().Write(HeaderOnly(0x81, length)));
        clients.push_back(std::move(ws));
    }
    for (auto& ws : clients)
        EXPECT_TRUE(ws->ExpectClosedWithoutFrame(20s));
    EXPECT_LT(ProcStatus(Pid(), "VmSize") - vmBefore, 512L * 1024)
        << "address space grew by the announced sizes";

    // The header split over three writes, the length field last: refused all the same.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        std::string header = HeaderOnly(0x82, 0x7FFF0000ULL);
        // Each part is sent once the daemon has taken the one before, so that it reads them apart.
        ASSERT_TRUE(ws.Connection().Write(header.substr(0, 1)));
        EXPECT_TRUE(WaitFor([&] { return ServerHasReadAll(Port(), ws.Connection()); }, 20s));
        ASSERT_TRUE(ws.Connection().Write(header.substr(1, 4)));
        EXPECT_TRUE(WaitFor([&] { return ServerHasReadAll(Port(), ws.Connection()); }, 20s));
        ws.Connection().Write(header.substr(5));
        EXPECT_TRUE(ws.ExpectClosedWithoutFrame(20s));
    }
    // Sent right behind the handshake, in the same write: refused as well.
    {
        TlsConnection conn;
        ASSERT_TRUE(conn.Connect(Port()));
        ASSERT_TRUE(conn.Write(
            "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
            HeaderOnly(0x81, 0x7FFF0000ULL)));
        std::string pending;
        HttpResponse handshake = ReadHttpResponse(conn, pending, /*noBody=*/true);
        EXPECT_EQ(handshake.Status(), 101);
        EXPECT_TRUE(conn.ReadUntilClosed(pending, 20s));
        EXPECT_EQ(pending, "");
    }
    EXPECT_LT(ProcStatus(Pid(), "VmSize") - vmBefore, 512L * 1024);

    // A 16-bit length with no payload is simply waited for; the client's close ends it.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        ASSERT_TRUE(ws.Connection().Write(HeaderOnly(0x81, 65535)));
        EXPECT_TRUE(ws.QuietFor(1s));
    }
    // At the bound a frame is read whole: a 64 MiB binary frame gets its placeholder and close.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        ASSERT_TRUE(ws.Send(kWsBinary, std::string(64u << 20, 'b')));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f, 60s), WsClient::Read::kFrame);
        EXPECT_EQ(f.opcode, kWsText);
        EXPECT_EQ(f.payload, "{}");
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(f.opcode, kWsClose);
    }
    EXPECT_TRUE(Healthy(Port()));
    // The 64 MiB frame's buffer is freed again; what stays is allocator slack.
    EXPECT_TRUE(RssWithin(rssBefore, RssKb(Pid()), 96 * kSlowFactor));
}

TEST_F(HostileWsJson, FragmentsUnmaskedReservedAndRsvFrames_AnsweredFrameByFrame) {
    const std::string request =
        "{\"id\":\"f1\",\"tabid\":\"t\",\"origin\":\"https://pages.example\"}";
    // Fragments are not joined: the first piece is a text of its own (not JSON, so FALSE), each
    // continuation gets the placeholder and a close.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        ASSERT_TRUE(ws.Send(kWsText, request.substr(0, 10), /*fin=*/false));
        ASSERT_TRUE(ws.Send(kWsContinuation, request.substr(10, 10), /*fin=*/false));
        ASSERT_TRUE(ws.Send(kWsContinuation, request.substr(20), /*fin=*/true));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(ParseEnvelope(f.payload).status, "FALSE") << f.payload;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
            EXPECT_EQ(f.payload, "{}");
            ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
            EXPECT_EQ(f.opcode, kWsClose);
        }
    }
    // CivetWeb does not insist on masked client frames, nor on clear RSV bits: both are served.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        ASSERT_TRUE(ws.Send(kWsText, request, /*fin=*/true, /*mask=*/false));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(ParseEnvelope(f.payload).status, "TRUE");
        std::string rsv = WsEncode(kWsText, request);
        rsv[0] = static_cast<char>(0xF1);
        ASSERT_TRUE(ws.Connection().Write(rsv));
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(ParseEnvelope(f.payload).id, "f1");
    }
    // Every reserved opcode, on one connection: placeholder and close for each.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        const std::vector<int> reserved = {3, 4, 5, 6, 7, 0xB, 0xC, 0xD, 0xE, 0xF};
        for (int op : reserved)
            ASSERT_TRUE(ws.Send(op, "x"));
        for (std::size_t i = 0; i < reserved.size(); ++i) {
            WsFrame f;
            ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
            EXPECT_EQ(f.payload, "{}");
            ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
            EXPECT_EQ(f.opcode, kWsClose);
        }
    }
    EXPECT_TRUE(Healthy(Port()));
}

TEST_F(HostileWsJson,
       CloseWithReasonPingFloodAndOversizedControlFrames_HandledAndConnectionUsable) {
    const long rssBefore = RssKb(Pid());
    // A close with a status code and a reason, one at the 125-byte control limit, one beyond it:
    // each ends the connection without a frame.
    for (std::size_t reasonLength : {7u, 123u, 1000u}) {
        SCOPED_TRACE(reasonLength);
        WsClient ws;
        ASSERT_TRUE(ws.Open(Port()));
        ASSERT_TRUE(ws.Send(kWsClose, std::string("\x03\xe8", 2) + std::string(reasonLength, 'r')));
        EXPECT_TRUE(ws.ExpectClosedWithoutFrame());
    }
    // 20000 pings in one burst: as many pongs, then the connection still serves a request.
    WsClient ws;
    ASSERT_TRUE(ws.Open(Port()));
    const int kPings = 20000;
    std::string burst;
    for (int i = 0; i < kPings; ++i)
        burst += WsEncode(kWsPing, i % 2 ? std::string(125, 'p') : std::string());
    std::thread writer([&] { ws.Connection().Write(burst); });
    int pongs = 0;
    WsFrame f;
    while (pongs < kPings && ws.ReadFrame(f, 60s) == WsClient::Read::kFrame) {
        if (f.opcode != kWsPong || f.payload != "{}")
            break;
        ++pongs;
    }
    writer.join();
    EXPECT_EQ(pongs, kPings);
    // An oversized ping (not a valid control frame) is answered like any ping.
    ASSERT_TRUE(ws.Send(kWsPing, std::string(70000, 'P')));
    ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
    EXPECT_EQ(f.opcode, kWsPong);
    WsFrame reply = RoundTrip(
        ws, "{\"id\":\"after-pings\",\"tabid\":\"t\",\"origin\":\"https://pages.example\"}");
    EXPECT_EQ(ParseEnvelope(reply.payload).id, "after-pings");
    EXPECT_TRUE(Healthy(Port()));
    EXPECT_TRUE(RssWithin(rssBefore, RssKb(Pid()), 16 * kSlowFactor));
}

TEST_F(HostileWsJson, JsonNestedBeyondTheParserDepth_FalseWithoutAModuleCall) {
    const long before = InvokeCount("count-before");
    const std::vector<std::string> texts = {
        std::string(100000, '[') + std::string(100000, ']'),
        [] {
            std::string t;
            for (int i = 0; i < 5000; ++i)
                t += "{\"a\":";
            t += "1";
            for (int i = 0; i < 5000; ++i)
                t += "}";
            return t;
        }(),
        // Deep, but inside a well-formed object that names an id: still not parsed.
        "{\"id\":\"deep\",\"tabid\":\"t\",\"x\":" + std::string(1000, '[') +
            std::string(1000, ']') + "}",
    };
    WsClient ws;
    ASSERT_TRUE(ws.Open(Port()));
    for (const std::string& text : texts) {
        ReplyEnvelope http = ParseEnvelope(PostJson(Port(), text).body);
        EXPECT_EQ(http.status, "FALSE");
        EXPECT_EQ(http.id, "");
        ReplyEnvelope wss = ParseEnvelope(RoundTrip(ws, text).payload);
        EXPECT_EQ(wss.status, "FALSE");
    }
    // The counter moved by the second counting call only.
    EXPECT_EQ(InvokeCount("count-after"), before + 1);
    EXPECT_TRUE(Healthy(Port()));
}

TEST_F(HostileWsJson, JsonHuge_AnsweredWholeAndMemoryBackToItsPlateau) {
    // 8 MiB of string member, over HTTPS and WSS, three times each: every reply carries the whole
    // request back, and memory after the third round is where it was after the first.
    const std::string pad(8u << 20, 'h');
    long plateau = 0;
    WsClient ws;
    ASSERT_TRUE(ws.Open(Port()));
    for (int round = 0; round < 3; ++round) {
        const std::string request =
            "{\"id\":\"huge" + std::to_string(round) +
            "\",\"tabid\":\"t\",\"origin\":\"https://pages.example\",\"pad\":\"" + pad + "\"}";
        ReplyEnvelope http = ParseEnvelope(PostJson(Port(), request).body);
        EXPECT_EQ(http.status, "TRUE");
        EXPECT_EQ(ParseSampleReply(http.reply).request.size(), request.size());
        WsFrame f;
        ASSERT_TRUE(ws.SendText(request));
        ASSERT_EQ(ws.ReadFrame(f, 60s), WsClient::Read::kFrame);
        ReplyEnvelope wss = ParseEnvelope(f.payload);
        EXPECT_EQ(wss.status, "TRUE");
        EXPECT_EQ(ParseSampleReply(wss.reply).request.size(), request.size());
        if (round == 0)
            plateau = RssKb(Pid());
    }
    EXPECT_TRUE(RssWithin(plateau, RssKb(Pid()), 48 * kSlowFactor));
    EXPECT_TRUE(Healthy(Port()));
}

TEST_F(HostileWsJson, JsonNotUtf8AndNulBytes_ServedOrRefusedConsistently) {
    WsClient ws;
    ASSERT_TRUE(ws.Open(Port()));
    // Bytes that are not UTF-8 inside a string: not checked by the parser, handed to the module
    // unchanged, and carried back in the reply.
    const std::string latin = "{\"id\":\"bytes\",\"tabid\":\"t\",\"v\":\"\xff\xfe\xc0\x80\"}";
    ReplyEnvelope http = ParseEnvelope(PostJson(Port(), latin).body);
    EXPECT_EQ(http.status, "TRUE");
    EXPECT_EQ(ParseSampleReply(http.reply).request, latin);
    ReplyEnvelope wss = ParseEnvelope(RoundTrip(ws, latin).payload);
    EXPECT_EQ(wss.status, "TRUE");
    // An escaped NUL is ordinary JSON.
    const std::string escaped = "{\"id\":\"nul\",\"tabid\":\"t\",\"v\":\"a\\u0000b\"}";
    EXPECT_EQ(ParseEnvelope(PostJson(Port(), escaped).body).status, "TRUE");
    // A raw NUL byte ends the request text where it stands (both transports hand on C strings), so
    // what is left is no longer JSON.
    const std::string raw =
        std::string("{\"id\":\"raw\",\"tabid\":\"t\",\"v\":\"a") + '\0' + "b\"}";
    EXPECT_EQ(ParseEnvelope(PostJson(Port(), raw).body).status, "FALSE");
    EXPECT_EQ(ParseEnvelope(RoundTrip(ws, raw).payload).status, "FALSE");
    // A NUL before "request=" leaves no request at all: refused.
    EXPECT_EQ(
        HttpExchange(Port(), BuildPost(std::string("x%00request=") + FormEncode(escaped))).raw,
        kRejectionText);
    EXPECT_TRUE(Healthy(Port()));
}

TEST_F(HostileWsJson, JsonDuplicateKeysAndNonStringIds_KeyedByTheirParsedText) {
    // Duplicate keys: the last one counts, for the reply and for the parked result's key.
    const std::string dup =
        "{\"id\":\"first\",\"id\":\"second\",\"tabid\":\"t\",\"origin\":\"https://"
        "dup.example\",\"use_getresult\":\"TRUE\"}";
    ReplyEnvelope call = ParseEnvelope(PostJson(Port(), dup).body);
    EXPECT_EQ(call.id, "second");
    EXPECT_EQ(ParseEnvelope(PostJson(Port(),
                                     "{\"id\":\"second\",\"tabid\":\"t\",\"origin\":\"https://"
                                     "dup.example\",\"cmd\":\"GET_RESULT\"}")
                                .body)
                  .reply,
              call.reply);

    // Numbers as ids: their text is the key, so the string "123" collects what the number 123 parked.
    const std::string numeric =
        "{\"id\":123,\"tabid\":4.5,\"origin\":\"https://num.example\",\"use_getresult\":\"TRUE\"}";
    ReplyEnvelope num = ParseEnvelope(PostJson(Port(), numeric).body);
    EXPECT_EQ(num.status, "TRUE");
    EXPECT_EQ(num.id, "123");
    EXPECT_EQ(num.tabid, "4.5");
    ReplyEnvelope collected =
        ParseEnvelope(PostJson(Port(),
                               "{\"id\":\"123\",\"tabid\":\"4.5\",\"origin\":\"https://"
                               "num.example\",\"cmd\":\"GET_RESULT\"}")
                          .body);
    EXPECT_EQ(collected.status, "TRUE");
    EXPECT_EQ(collected.reply, num.reply);

    // Other kinds of ids, and numbers the parser cannot hold: every reply is a well-formed envelope.
    for (const char* id : {"{\"a\":[1,2]}", "[true,null]", "true", "null", "-0", "1e400",
                           "99999999999999999999999", "\"\\\"quoted\\\"\""}) {
        SCOPED_TRACE(id);
        const std::string request =
            std::string("{\"id\":") + id + ",\"tabid\":\"t\",\"origin\":\"https://kinds.example\"}";
        ReplyEnvelope http = ParseEnvelope(PostJson(Port(), request).body);
        EXPECT_TRUE(http.valid);
        EXPECT_EQ(http.status, "TRUE");
    }
    EXPECT_TRUE(Healthy(Port()));
}

}  // namespace
