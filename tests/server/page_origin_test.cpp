// Pages are kept apart by the Origin header their browser sends, not by the "origin" member they
// write themselves: over the wire, against the server started in this process with the sample
// module, a page reaches only sessions and parked results of requests with the same header.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "WsClient.h"
#include "tests/server/InProcessServer.h"

using namespace nvtest;

namespace {

// The envelope's "response"."status" (its first "status" member).
std::string StatusOf(const std::string& body) {
    const std::string key = "\"status\": \"";
    const auto start = body.find(key);
    if (start == std::string::npos)
        return "<none>";
    return body.substr(start + key.size(), body.find('"', start + key.size()) - start - key.size());
}

// The sample module's count of InitSite_external calls, one per session opened, as it stands in
// the escaped reply text; -1 when the reply has none.
long InitCallsOf(const std::string& body) {
    const std::string key = "init_calls\\\": ";
    const auto start = body.find(key);
    return start == std::string::npos ? -1 : std::atol(body.c_str() + start + key.size());
}

class PageOrigin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()); }

    // A POST of the JSON text; originHeader "" sends no Origin header at all.
    std::string Post(const std::string& originHeader, const std::string& json) {
        const std::string headers =
            originHeader.empty() ? std::string() : "Origin: " + originHeader + "\r\n";
        HttpResponse resp =
            HttpExchange(m_server.Port(), BuildPost("request=" + FormEncode(json), headers));
        EXPECT_EQ(resp.Status(), 200) << resp.raw;
        return resp.body;
    }

    InProcessServer m_server;
};

TEST_F(PageOrigin, ParkedResult_AnotherOriginHeaderGetsNeitherItNorItsRemoval_OwnerCollects) {
    // The bank's page parks a result under its own "origin" member.
    const std::string bankMember =
        "\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"https://bank.example\"";
    const std::string parked = Post("https://bank.example",
                                    "{" + bankMember + ",\"use_getresult\":\"TRUE\",\"d\":\"s3\"}");
    ASSERT_EQ(StatusOf(parked), "TRUE") << parked;
    const std::string collect = "{" + bankMember + ",\"cmd\":\"GET_RESULT\"}";

    // Other pages copy the member and the keys: another site, a sandboxed page ("null"), and a
    // client without the header. None of them finds the task, so none of them removes it.
    for (const char* other : {"https://evil.example", "null", ""}) {
        const std::string stolen = Post(other, collect);
        EXPECT_EQ(StatusOf(stolen), "FALSE") << other << ": " << stolen;
        EXPECT_EQ(stolen.find("s3"), std::string::npos) << other;
    }
    // A module call of another site under the same keys gets a session of its own; it neither
    // replaces the bank's task nor runs in the bank's module session.
    const long bankInits = InitCallsOf(parked);
    const std::string evilCall = Post("https://evil.example", "{" + bankMember + "}");
    EXPECT_EQ(StatusOf(evilCall), "TRUE");
    EXPECT_EQ(InitCallsOf(evilCall), bankInits + 1) << evilCall;

    const std::string collected = Post("https://bank.example", collect);
    EXPECT_EQ(StatusOf(collected), "TRUE") << collected;
    EXPECT_NE(collected.find("s3"), std::string::npos) << collected;
    EXPECT_EQ(StatusOf(Post("https://bank.example", collect)), "FALSE");

    // Requests without the header still share their sessions with each other, as they always did.
    ASSERT_EQ(StatusOf(Post("", "{" + bankMember + ",\"use_getresult\":\"TRUE\"}")), "TRUE");
    EXPECT_EQ(StatusOf(Post("", collect)), "TRUE");
}

TEST_F(PageOrigin, WebSocket_HandshakeOriginHoldsForEveryFrame_NoModuleSessionShared) {
    WsClient bank;
    WsClient evil;
    ASSERT_TRUE(bank.Open(m_server.Port(), "/", "Origin: https://bank.example\r\n"));
    ASSERT_TRUE(evil.Open(m_server.Port(), "/", "Origin: https://evil.example\r\n"));
    auto send = [](WsClient& ws, const std::string& id) {
        WsFrame f;
        EXPECT_TRUE(ws.SendText("{\"id\":\"" + id +
                                "\",\"tabid\":\"t\",\"origin\":\"https://bank.example\"}"));
        EXPECT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        EXPECT_EQ(StatusOf(f.payload), "TRUE") << f.payload;
        return InitCallsOf(f.payload);
    };
    // Same member and tab on both connections: a session (one module Init) for each page, and
    // each later frame finds its own page's session.
    const long first = send(bank, "1");
    ASSERT_GT(first, 0);
    EXPECT_EQ(send(evil, "1"), first + 1);
    EXPECT_EQ(send(bank, "2"), first + 1);
    EXPECT_EQ(send(evil, "2"), first + 1);
}

}  // namespace
