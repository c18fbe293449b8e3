// HTTP dispatch: the text helpers, and the begin-request callback driven over real TLS connections
// to the server started in this process on a test port.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "LogCapture.h"
#include "server/HttpDispatch.h"
#include "tests/server/InProcessServer.h"

using namespace nvtest;

// ---- text helpers ---------------------------------------------------------------------------

TEST(HttpDispatchText, ToLowerString_MixedBytes_OnlyAsciiCapitalsLowered) {
    EXPECT_EQ(ToLowerString("WebSocket-UPGRADE 09 @[`{"), "websocket-upgrade 09 @[`{");
    // Bytes outside A-Z, UTF-8 sequences included, are copied unchanged.
    EXPECT_EQ(ToLowerString("\xC3\x84Z\xC3\xA4"), "\xC3\x84z\xC3\xA4");
    EXPECT_EQ(ToLowerString(""), "");
    EXPECT_EQ(ToLowerString(nullptr), "");
}

TEST(HttpDispatchText, CutAtDelimiter_Cases_BeforeOrAfterFirstOccurrence) {
    EXPECT_EQ(CutAtDelimiter("https://hostA:8443", "://", false), "hostA:8443");
    EXPECT_EQ(CutAtDelimiter("https://hostA:8443", "://", true), "https");
    EXPECT_EQ(CutAtDelimiter("hostA:8443/app/page.html", "/", true), "hostA:8443");
    // Only the first occurrence counts.
    EXPECT_EQ(CutAtDelimiter("a://b://c", "://", false), "b://c");
    // Without the delimiter the text comes back whole, whichever side was asked for.
    EXPECT_EQ(CutAtDelimiter("null", "://", false), "null");
    EXPECT_EQ(CutAtDelimiter("hostA", "/", true), "hostA");
    EXPECT_EQ(CutAtDelimiter("", "://", false), "");
    EXPECT_EQ(CutAtDelimiter("x://", "://", false), "");
}

TEST(HttpDispatchText, isEqualOriginAndReferer_SameHost_True) {
    LogCapture cap;
    EXPECT_TRUE(isEqualOriginAndReferer("hostA:8443", "hostA:8443/app/page.html"));
    EXPECT_TRUE(isEqualOriginAndReferer("hostA", "hostA"));
    EXPECT_TRUE(cap.Lines().empty());
}

TEST(HttpDispatchText, isEqualOriginAndReferer_PortOrCaseDiffers_FalseWithBothLines) {
    LogCapture cap;
    EXPECT_FALSE(isEqualOriginAndReferer("hostA", "hostA:443/p"));
    EXPECT_FALSE(isEqualOriginAndReferer("HostA", "hosta/p"));
    std::vector<std::string> expected = {
        "isEqualOriginAndRefererData is not equal", "origin(hostA), referer(hostA:443)",
        "isEqualOriginAndRefererData is not equal", "origin(HostA), referer(hosta)"};
    EXPECT_EQ(cap.Lines(), expected);
}

TEST(HttpDispatchText, isEqualOriginAndReferer_EitherEmpty_FalseWithDataIsNull) {
    LogCapture cap;
    EXPECT_FALSE(isEqualOriginAndReferer("", "hostA/p"));
    EXPECT_FALSE(isEqualOriginAndReferer("hostA", ""));
    std::vector<std::string> expected = {"isEqualOriginAndReferer, Data is Null",
                                         "isEqualOriginAndReferer, Data is Null"};
    EXPECT_EQ(cap.Lines(), expected);
}

TEST(HttpDispatchText, ParseContentLength_AtoiLikeInput_ReadsLeadingDigitsAndSaturates) {
    EXPECT_EQ(ParseContentLength("12"), 12);
    EXPECT_EQ(ParseContentLength("  12abc"), 12);
    EXPECT_EQ(ParseContentLength("+7"), 7);
    EXPECT_EQ(ParseContentLength("-5"), -5);
    EXPECT_EQ(ParseContentLength("abc"), 0);
    EXPECT_EQ(ParseContentLength(""), 0);
    EXPECT_EQ(ParseContentLength(nullptr), 0);
    // atoi would overflow here (and could come out small or negative); the limit must still apply.
    EXPECT_EQ(ParseContentLength("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(ParseContentLength("4294967297"), 4294967297LL);
    EXPECT_GT(ParseContentLength("67108865"), kMaxRequestBodyBytes);
}

// ---- over the wire ----------------------------------------------------------------------------

namespace {

const std::string kFalseEnvelope = Envelope("", "", "", "FALSE", "");

class HttpDispatch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()); }
    void TearDown() override { m_server.Stop(); }

    HttpResponse Get(const std::string& target, const std::string& headers = std::string()) {
        return HttpExchange(m_server.Port(), BuildRequest("GET", target, headers));
    }
    HttpResponse Post(const std::string& body, const std::string& headers = std::string()) {
        return HttpExchange(m_server.Port(), BuildPost(body, headers));
    }
    std::string SendLine(const std::string& reply) {
        return "======= [MG_RequestHandlerCB] SEND : " + reply + "\n";
    }
    bool WaitForLine(const std::string& line) {
        return WaitFor([&] { return m_cap.Contains(line); }, 20s);
    }
    bool AnySendLine() {
        for (const auto& l : m_cap.Lines())
            if (l.rfind("======= [MG_RequestHandlerCB] SEND : ", 0) == 0)
                return true;
        return false;
    }

    LogCapture m_cap;  // before the server, so that it sees everything the server logs
    InProcessServer m_server;
};

}  // namespace

TEST_F(HttpDispatch, DmPortScan_OriginHeader_LogsOriginHostAndAnswersProbe) {
    HttpResponse r = Get("/?dmPortScan", "Origin: https://hostA\r\n");
    EXPECT_EQ(r.raw, kProbeAnswerText);
    EXPECT_TRUE(WaitForLine("dmPortScan Origin : hostA"));
    EXPECT_FALSE(m_cap.Contains("dmPortScan : Origin is NULL. Use Referer alter Origin."));
}

TEST_F(HttpDispatch, DmPortScan_RefererOnly_UsesRefererHostWithPort) {
    HttpResponse r = Get("/x?a=1&dmPortScan=2", "Referer: https://hostA:8443/x/y\r\n");
    EXPECT_EQ(r.raw, kProbeAnswerText);
    int first = m_cap.IndexOf("dmPortScan : Origin is NULL. Use Referer alter Origin.");
    ASSERT_GE(first, 0);
    EXPECT_GT(m_cap.IndexOf("dmPortScan Origin : hostA:8443", first), first);
}

TEST_F(HttpDispatch, DmPortScan_NoHeaders_LogsBothMissingAndEmptyOrigin) {
    HttpResponse r = Get("/?dmPortScan");
    EXPECT_EQ(r.raw, kProbeAnswerText);
    int a = m_cap.IndexOf("dmPortScan : Origin is NULL. Use Referer alter Origin.");
    int b = m_cap.IndexOf("dmPortScan : Referer is NULL.", a + 1);
    int c = m_cap.IndexOf("dmPortScan Origin : ", b + 1);
    EXPECT_GE(a, 0);
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
}

TEST_F(HttpDispatch, SecurePortScan_HeaderCombinations_ProbeOrRejection) {
    EXPECT_EQ(Get("/?securePortScan").raw, kProbeAnswerText);
    EXPECT_TRUE(m_cap.Contains("securePortScan : Origin is NULL."));

    EXPECT_EQ(Get("/?securePortScan", "Origin: https://hostA\r\n").raw, kProbeAnswerText);
    EXPECT_EQ(Get("/?securePortScan", "Origin: https://hostA\r\nReferer: https://hostA/p\r\n").raw,
              kProbeAnswerText);

    m_cap.Clear();
    EXPECT_EQ(Get("/?securePortScan", "Origin: https://hostA\r\nReferer: https://hostB/p\r\n").raw,
              kRejectionText);
    int a = m_cap.IndexOf("isEqualOriginAndRefererData is not equal");
    EXPECT_GE(a, 0);
    EXPECT_EQ(m_cap.IndexOf("origin(hostA), referer(hostB)", a), a + 1);
}

TEST_F(HttpDispatch, Get_BothRouteWords_SecurePortScanRouteTaken) {
    // Mismatching headers make the routes tell apart: dmPortScan would answer the probe.
    HttpResponse r =
        Get("/?dmPortScan&securePortScan", "Origin: https://hostA\r\nReferer: https://hostB/\r\n");
    EXPECT_EQ(r.raw, kRejectionText);
    for (const auto& l : m_cap.Lines())
        EXPECT_EQ(l.find("dmPortScan Origin"), std::string::npos) << l;
}

TEST_F(HttpDispatch, Get_NoOrOtherQuery_Rejected) {
    EXPECT_EQ(Get("/").raw, kRejectionText);
    EXPECT_TRUE(m_cap.Contains("Request command is empty"));
    m_cap.Clear();
    EXPECT_EQ(Get("/?").raw, kRejectionText);
    EXPECT_TRUE(m_cap.Contains("Request command is empty"));
    m_cap.Clear();
    // Route words are matched in the query only, and case-sensitively.
    EXPECT_EQ(Get("/dmPortScan").raw, kRejectionText);
    EXPECT_TRUE(m_cap.Contains("Request command is empty"));
    m_cap.Clear();
    EXPECT_EQ(Get("/anything?foo=1").raw, kRejectionText);
    EXPECT_EQ(Get("/?dmportscan").raw, kRejectionText);
    EXPECT_FALSE(m_cap.Contains("Request command is empty")) << "a query was present in both";
}

TEST_F(HttpDispatch, Post_NonJsonRequest_FramedFalseEnvelopeAndSendLine) {
    HttpResponse r = Post("request=abc");
    EXPECT_EQ(r.raw, ReplyHead(kFalseEnvelope.size()) + kFalseEnvelope);
    EXPECT_TRUE(WaitForLine(SendLine(r.raw)));
}

TEST_F(HttpDispatch, Post_FormEncodedBody_DecodedBeforeTheHandler) {
    // {"id":"7","tabid":"t 1","callback":"cb"} with '+' for the blank and %XX for the rest.
    std::string body =
        "request=" + FormEncode("{\"id\":\"7\",\"tabid\":\"t 1\",\"callback\":\"cb\"}");
    ASSERT_NE(body.find('+'), std::string::npos);
    HttpResponse r = Post(body);
    ASSERT_EQ(r.Status(), 200) << r.raw;
    EXPECT_EQ(r.body.rfind("{ \"response\": { \"id\": \"7\", \"tabid\": \"t 1\", \"callback\": "
                           "\"cb\", \"status\": \"TRUE\"",
                           0),
              0u)
        << r.body;
}

TEST_F(HttpDispatch, Post_OriginAndRefererDisagree_Rejected) {
    EXPECT_EQ(Post("request=abc", "Origin: https://hostA\r\nReferer: https://hostA:443/p\r\n").raw,
              kRejectionText);
    EXPECT_TRUE(m_cap.Contains("origin(hostA), referer(hostA:443)"));
    // The literal Origin "null" (sandboxed frames, file pages) never matches a Referer.
    EXPECT_EQ(Post("request=abc", "Origin: null\r\nReferer: https://hostA/p\r\n").raw,
              kRejectionText);
    EXPECT_FALSE(AnySendLine());
}

TEST_F(HttpDispatch, Post_OriginAloneOrMatching_Answered) {
    EXPECT_EQ(Post("request=abc", "Origin: null\r\n").body, kFalseEnvelope);
    EXPECT_EQ(Post("request=abc", "Origin: https://hostA\r\nReferer: https://hostA/app\r\n").body,
              kFalseEnvelope);
    EXPECT_EQ(Post("request=abc", "Referer: https://hostB/app\r\n").body, kFalseEnvelope);
}

TEST_F(HttpDispatch, Post_ContentLengthMissingZeroOrNegative_Rejected) {
    unsigned short port = m_server.Port();
    EXPECT_EQ(HttpExchange(port, BuildRequest("POST", "/", "", "")).raw, kRejectionText);
    EXPECT_EQ(HttpExchange(port, BuildRequest("POST", "/", "Content-Length: 0\r\n", "")).raw,
              kRejectionText);
    // A negative length never reaches the dispatch: CivetWeb answers it with its own 411.
    HttpResponse negative =
        HttpExchange(port, BuildRequest("POST", "/", "Content-Length: -5\r\n", ""));
    EXPECT_GE(negative.Status(), 400) << negative.raw;
    EXPECT_LT(negative.Status(), 500) << negative.raw;
    EXPECT_FALSE(AnySendLine());
}

TEST_F(HttpDispatch, Post_BodyOverLimit_RejectedWithoutWaitingForTheBody) {
    // No body is sent: the answer must come from the header alone, before anything is allocated.
    for (const char* length : {"67108865", "99999999999999999999", "4294967297"}) {
        HttpResponse r = HttpExchange(
            m_server.Port(),
            BuildRequest("POST", "/", std::string("Content-Length: ") + length + "\r\n"));
        EXPECT_EQ(r.raw, kRejectionText) << length;
    }
    EXPECT_TRUE(m_cap.Contains("[MG_RequestHandlerCB] ERROR request body too large : 67108865\n"));
    EXPECT_FALSE(AnySendLine());
}

TEST_F(HttpDispatch, Post_NoRequestValue_RejectedInsteadOfSilence) {
    EXPECT_EQ(Post("foo=bar").raw, kRejectionText);
    EXPECT_TRUE(WaitForLine(SendLine("")));
    int a = m_cap.IndexOf("[CDMHttpRequestHandler] POST data parse error\n");
    EXPECT_GE(a, 0);
    EXPECT_EQ(m_cap.IndexOf("[handle_request] ERROR GetJsonStringFromReqData\n", a), a + 1);

    EXPECT_EQ(Post("request=").raw, kRejectionText);
}

TEST_F(HttpDispatch, OptionsAndHead_LeftToCivetWeb_HandlerNotCalled) {
    HttpResponse options =
        HttpExchange(m_server.Port(), BuildRequest("OPTIONS", "/?dmPortScan", ""));
    ASSERT_TRUE(options.complete);
    EXPECT_GE(options.Status(), 400) << options.raw;
    EXPECT_NE(options.raw, kRejectionText);

    HttpResponse head =
        HttpExchange(m_server.Port(), BuildRequest("HEAD", "/?dmPortScan", ""), /*noBody=*/true);
    ASSERT_TRUE(head.complete);
    EXPECT_EQ(head.Status(), 404) << head.raw;

    EXPECT_FALSE(AnySendLine());
    EXPECT_FALSE(m_cap.Contains("dmPortScan Origin : "));
}

TEST_F(HttpDispatch, KeepAlive_SeveralPostsOnOneConnection_EachAnswered) {
    TlsConnection conn;
    ASSERT_TRUE(conn.Connect(m_server.Port()));
    std::string pending;
    for (int i = 0; i < 4; ++i) {
        std::string request = "{\"id\":\"" + std::to_string(i) + "\",\"tabid\":\"k\"}";
        ASSERT_TRUE(conn.Write(BuildPost("request=" + FormEncode(request))));
        HttpResponse r = ReadHttpResponse(conn, pending);
        ASSERT_TRUE(r.complete) << "request " << i;
        EXPECT_EQ(r.Status(), 200);
        EXPECT_NE(r.body.find("\"id\": \"" + std::to_string(i) + "\""), std::string::npos)
            << r.body;
    }
    EXPECT_TRUE(pending.empty());

    // Several requests in one write arrive in one TLS read: what follows the first header section
    // is held back by the TLS layer and must still reach CivetWeb, without a wait on the socket.
    std::string batch;
    for (int i = 4; i < 7; ++i)
        batch += BuildPost("request=" +
                           FormEncode("{\"id\":\"" + std::to_string(i) + "\",\"tabid\":\"k\"}"));
    ASSERT_TRUE(conn.Write(batch));
    for (int i = 4; i < 7; ++i) {
        HttpResponse r = ReadHttpResponse(conn, pending);
        ASSERT_TRUE(r.complete) << "request " << i;
        EXPECT_NE(r.body.find("\"id\": \"" + std::to_string(i) + "\""), std::string::npos)
            << r.body;
    }
}

TEST_F(HttpDispatch, Upgrade_HeaderVariants_HandshakeOnlyWithEveryHeader) {
    // Connection lists more than one token, and the letters are mixed: still a handshake.
    std::string handshake =
        "GET /any/path?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: WebSocket\r\nConnection: "
        "keep-alive, Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    HttpResponse r = HttpExchange(m_server.Port(), handshake, /*noBody=*/true);
    EXPECT_EQ(r.Status(), 101) << r.raw;
    EXPECT_EQ(r.Header("sec-websocket-accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

    // Without Sec-WebSocket-Version it is an ordinary GET, here one without a route word.
    std::string partial =
        "GET /?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    EXPECT_EQ(HttpExchange(m_server.Port(), partial).raw, kRejectionText);
}
