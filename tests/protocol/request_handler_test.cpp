// Request handler: request extraction from form text, HTTP framing of replies, and both roads through
// the real client interfaces to the fake native module.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "ReplyTexts.h"
#include "protocol/DMmongooseRequestHandler.h"
#include "protocol_test_support.h"

namespace {

std::string Framed(const std::string& body) {
    return ReplyHead(body.size()) + body;
}

class RequestHandler : public FakeModuleFixture {
protected:
    LogCapture m_cap;
    CDMmongooseRequestHandler m_handler;  // after the fixture has put the fake module in place
};

}  // namespace

TEST_F(RequestHandler, GetJsonStringFromReqData_Cases_RestOfTextAfterFirstKey) {
    struct Case {
        const char* text;
        const char* value;
        int result;
    } cases[] = {
        {"request={\"a\":1}", "{\"a\":1}", 0},
        {"a=1&request=X&b=2", "X&b=2", 0},  // later pairs are not split off
        {"xrequest=Y", "Y", 0},             // a plain substring search
        {"request=1&request=2", "1&request=2", 0},
        {"request=", "", -1},
    };
    for (const Case& c : cases) {
        std::string value = "stale";
        EXPECT_EQ(m_handler.GetJsonStringFromReqData(c.text, "request", value), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    EXPECT_FALSE(m_cap.Contains("[CDMHttpRequestHandler] POST data parse error\n"));

    std::string value = "stale";
    EXPECT_EQ(m_handler.GetJsonStringFromReqData("requests={}", "request", value), -1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(m_handler.GetJsonStringFromReqData("", "request", value), -1);
    EXPECT_EQ(m_cap.Lines(),
              std::vector<std::string>(2, "[CDMHttpRequestHandler] POST data parse error\n"));
}

TEST_F(RequestHandler, MakeReply_MultiByteBody_ContentLengthCountsBytes) {
    // 2 + 3 + 4 bytes for three characters, plus the quotes.
    const std::string body = "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"";
    ASSERT_EQ(body.size(), 11u);
    std::string out;
    m_handler.MakeReply(body, out);
    EXPECT_EQ(out, ReplyHead(11) + body);
    EXPECT_EQ(m_cap.Lines(), std::vector<std::string>{"strResponse - " + out + "\n"});

    m_handler.MakeReply("", out);
    EXPECT_EQ(out, ReplyHead(0));
}

TEST_F(RequestHandler, HandleRequest_FormText_CompleteResponseWithModuleReply) {
    std::string out;
    m_handler.handle_request(
        "request={\"id\":\"7\",\"tabid\":\"t1\",\"callback\":\"cb\",\"x\":\"\xC3\xA9/\"}", out);
    // The module's reply (echo: + the request text) rides as a JSON string with json-c's escapes;
    // UTF-8 passes through unescaped, so the length in bytes and in characters differ.
    const std::string body =
        Envelope("7", "t1", "cb", "TRUE",
                 "echo:{\\\"id\\\":\\\"7\\\",\\\"tabid\\\":\\\"t1\\\",\\\"callback\\\":"
                 "\\\"cb\\\",\\\"x\\\":\\\"\xC3\xA9\\/\\\"}");
    EXPECT_EQ(out, Framed(body));
    EXPECT_EQ(Stats().nInvokeCalls, 1);
    EXPECT_TRUE(m_cap.Contains("strResponse - " + out + "\n"));
}

TEST_F(RequestHandler, HandleRequest_NotJson_FramedFalseEnvelopeWithoutModuleCall) {
    std::string out;
    m_handler.handle_request("request=abc", out);
    EXPECT_EQ(out, Framed(Envelope("", "", "", "FALSE", "")));
    EXPECT_EQ(Stats().nInvokeCalls, 0);
}

TEST_F(RequestHandler, HandleRequest_NoRequestValue_OutUntouchedAndLogged) {
    std::string out = "untouched";
    m_handler.handle_request("foo=bar", out);
    EXPECT_EQ(out, "untouched");
    std::vector<std::string> expected = {"[CDMHttpRequestHandler] POST data parse error\n",
                                         "[handle_request] ERROR GetJsonStringFromReqData\n"};
    EXPECT_EQ(m_cap.Lines(), expected);

    m_cap.Clear();
    m_handler.handle_request("request=", out);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(m_cap.Lines(),
              std::vector<std::string>{"[handle_request] ERROR GetJsonStringFromReqData\n"});

    m_cap.Clear();
    m_handler.handle_request(nullptr, out);
    EXPECT_EQ(out, "untouched");
    EXPECT_TRUE(m_cap.Lines().empty());
    EXPECT_EQ(Stats().nInvokeCalls, 0);
}

TEST_F(RequestHandler, HandleRequestWS_Frame_UnframedReplyAndNoParking) {
    std::string out;
    m_handler.handle_request_WS("{\"id\":\"1\",\"tabid\":\"t\",\"cmd\":\"GET_RESULT\"}", out);
    // Over WebSocket GET_RESULT is an ordinary module call, and the reply is the bare envelope.
    EXPECT_EQ(
        out,
        Envelope(
            "1", "t", "", "TRUE",
            "echo:{\\\"id\\\":\\\"1\\\",\\\"tabid\\\":\\\"t\\\",\\\"cmd\\\":\\\"GET_RESULT\\\"}"));
    EXPECT_EQ(Stats().nInvokeCalls, 1);

    std::string untouched = "untouched";
    m_handler.handle_request_WS(nullptr, untouched);
    EXPECT_EQ(untouched, "untouched");
}

TEST_F(RequestHandler, HandleRequest_TwoStores_HttpAndWebSocketSessionsSeparate) {
    // One origin on both roads: the HTTP store and the WebSocket store each open their own session.
    std::string out;
    m_handler.handle_request("request={\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\"}", out);
    m_handler.handle_request_WS("{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\"}", out);
    EXPECT_EQ(Stats().nInitCalls, 2);
}
