// Reply builder texts and the request flows of the HTTP and WebSocket client interfaces, against
// the fake native module loaded through the real bridge.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "protocol/HTTPClientIntfHandler.h"
#include "protocol/WebSocketClientIntfHandler.h"
#include "protocol_test_support.h"

namespace {

// --- reply builder -----------------------------------------------------------------------------

TEST(MakeResponse, DefaultRecords_GivesEmptyEnvelope) {
    CHTTPClientIntfHandler handler;
    _PROTOCOL_HEADER header;
    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(
        "{ \"response\": { \"id\": \"\", \"tabid\": \"\", \"callback\": \"\", \"status\": \"\", "
        "\"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"\" } } } }",
        handler.MakeResponse(header, response));
}

TEST(MakeResponse, GetVersions_PutsVersionMembersBeforeResponse) {
    CHTTPClientIntfHandler handler;
    _PROTOCOL_HEADER header;
    header.init = "get_versions";
    header.m = "X";
    header.id = "7";
    header.tabid = "t1";
    header.callback = "cb";
    _PROTOCOL_RESPONSE response;
    response.status = "TRUE";
    response.reply = "r";
    EXPECT_EQ(
        "{ \"daemon\": \"1.0.1.1\", \"ex\": \"1.0.1.1013\", \"m\": { \"name\": \"X\", \"version\": "
        "\"3.3.2.25\" }, \"response\": { \"id\": \"7\", \"tabid\": \"t1\", \"callback\": \"cb\", "
        "\"status\": \"TRUE\", \"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"r\" } } } "
        "}",
        handler.MakeResponse(header, response));

    header.init = "GET_VERSIONS";  // other letter case: no report
    EXPECT_EQ(0u, handler.MakeResponse(header, response).find("{ \"response\": "));
}

TEST(MakeResponse, ReplyWithSpecialCharacters_IsEscapedAsJsonString) {
    CHTTPClientIntfHandler handler;
    _PROTOCOL_HEADER header;
    header.callback = "a/b";
    _PROTOCOL_RESPONSE response;
    response.status = "TRUE";
    response.reply = std::string("q\"b\\s/n\nc\x01") + "\xc3\xa9";
    EXPECT_EQ(
        "{ \"response\": { \"id\": \"\", \"tabid\": \"\", \"callback\": \"a\\/b\", \"status\": "
        "\"TRUE\", \"reply\": { \"reply\": { \"status\": \"\", \"reply\": "
        "\"q\\\"b\\\\s\\/n\\nc\\u0001\xc3\xa9\" } } } }",
        handler.MakeResponse(header, response));
}

// --- HTTP flows --------------------------------------------------------------------------------

class HttpFlowTest : public FakeModuleFixture {
protected:
    std::string Send(const std::string& request) {
        std::string reply;
        EXPECT_EQ(0, m_handler.ProcessRequest(request, reply));
        return reply;
    }
    CHTTPClientIntfHandler m_handler;
};

TEST_F(HttpFlowTest, Call_WithoutUseGetresult_AnswersTrueThenNothingToCollect) {
    const std::string call =
        "{\"id\":\"7\",\"tabid\":\"t1\",\"callback\":\"cb\",\"origin\":\"https://a.example\"}";
    EXPECT_EQ(
        "{ \"response\": { \"id\": \"7\", \"tabid\": \"t1\", \"callback\": \"cb\", \"status\": "
        "\"TRUE\", \"reply\": { \"reply\": { \"status\": \"\", \"reply\": "
        "\"echo:{\\\"id\\\":\\\"7\\\","
        "\\\"tabid\\\":\\\"t1\\\",\\\"callback\\\":\\\"cb\\\",\\\"origin\\\":\\\"https:\\/\\/"
        "a.example\\\"}"
        "\" } } } }",
        Send(call));

    const std::string collect =
        "{\"id\":\"7\",\"tabid\":\"t1\",\"cmd\":\"GET_RESULT\",\"origin\":\"https://a.example\"}";
    const long invokes = Stats().nInvokeCalls;
    const std::string collected = Send(collect);
    EXPECT_EQ("FALSE", StatusOf(collected));
    EXPECT_EQ("", InnerReplyOf(collected));
    EXPECT_EQ(invokes, Stats().nInvokeCalls);  // a collection never calls the module
}

TEST_F(HttpFlowTest, Call_WithUseGetresult_ResultCollectedOnceFromSameOriginOnly) {
    const std::string call =
        "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"https://"
        "a.example\",\"use_getresult\":\"TRUE\"}";
    const std::string first = Send(call);
    ASSERT_EQ("TRUE", StatusOf(first));
    const std::string moduleText = InnerReplyOf(first);
    EXPECT_EQ(Escaped("echo:" + call), moduleText);

    // Tasks are grouped by origin: another origin finds nothing, and takes nothing away.
    EXPECT_EQ("FALSE", StatusOf(Send("{\"id\":\"1\",\"tabid\":\"t\",\"cmd\":\"GET_RESULT\","
                                     "\"origin\":\"https://b.example\"}")));

    const std::string collect =
        "{\"id\":\"1\",\"tabid\":\"t\",\"cmd\":\"GET_RESULT\",\"origin\":\"https://a.example\"}";
    const std::string second = Send(collect);
    EXPECT_EQ("TRUE", StatusOf(second));
    EXPECT_EQ(moduleText, InnerReplyOf(second));
    EXPECT_EQ("FALSE", StatusOf(Send(collect)));
}

TEST_F(HttpFlowTest, Call_UseGetresultBooleanFalse_CountsAsParkingTheResult) {
    // Only the string "FALSE" (or no member) means "do not park": a JSON false reads as false.
    const std::string call =
        "{\"id\":\"2\",\"tabid\":\"t\",\"origin\":\"o\",\"use_getresult\":false}";
    ASSERT_EQ("TRUE", StatusOf(Send(call)));
    EXPECT_EQ(
        "TRUE",
        StatusOf(Send("{\"id\":\"2\",\"tabid\":\"t\",\"origin\":\"o\",\"cmd\":\"GET_RESULT\"}")));
}

TEST_F(HttpFlowTest, LowerCaseGetResult_IsAnOrdinaryModuleCall) {
    const long invokes = Stats().nInvokeCalls;
    const std::string request =
        "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\",\"cmd\":\"get_result\"}";
    const std::string reply = Send(request);
    EXPECT_EQ("TRUE", StatusOf(reply));
    EXPECT_EQ(Escaped("echo:" + request), InnerReplyOf(reply));
    EXPECT_EQ(invokes + 1, Stats().nInvokeCalls);
}

TEST_F(HttpFlowTest, NonObjectJson_StillReachesTheModuleWithEmptyKeys) {
    const std::string reply = Send("5");
    EXPECT_EQ(
        "{ \"response\": { \"id\": \"\", \"tabid\": \"\", \"callback\": \"\", \"status\": "
        "\"TRUE\", "
        "\"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"echo:5\" } } } }",
        reply);
}

TEST_F(HttpFlowTest, NotJson_AnswersFalseWithoutCallingTheModule) {
    LogCapture cap;
    const long invokes = Stats().nInvokeCalls;
    EXPECT_EQ(
        "{ \"response\": { \"id\": \"\", \"tabid\": \"\", \"callback\": \"\", \"status\": "
        "\"FALSE\", "
        "\"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"\" } } } }",
        Send("{\"id\":"));
    EXPECT_EQ(invokes, Stats().nInvokeCalls);
    EXPECT_TRUE(cap.Lines().empty());  // no task, so not even the creation line
}

TEST_F(HttpFlowTest, GetVersionsAndFailingModule_ReportVersionsAndTrueWithEmptyReply) {
    const std::string versions = Send(
        "{\"init\":\"get_versions\",\"m\":\"VelstraClient\",\"id\":\"v\",\"tabid\":\"t\","
        "\"origin\":\"o\"}");
    EXPECT_EQ(0u,
              versions.find("{ \"daemon\": \"1.0.1.1\", \"ex\": \"1.0.1.1013\", \"m\": { \"name\": "
                            "\"VelstraClient\", \"version\": \"3.3.2.25\" }, \"response\": "));
    EXPECT_EQ("TRUE", StatusOf(versions));

    // A module call that fails inside the bridge still finishes the task.
    const std::string failed =
        Send("{\"id\":\"n\",\"tabid\":\"t\",\"origin\":\"o\",\"x\":\"fake:null\"}");
    EXPECT_EQ("TRUE", StatusOf(failed));
    EXPECT_EQ("", InnerReplyOf(failed));
}

// --- WebSocket flows ---------------------------------------------------------------------------

class WebSocketFlowTest : public FakeModuleFixture {
protected:
    std::string Send(const std::string& request) {
        std::string reply;
        m_handler.ProcessRequest(request, reply);
        return reply;
    }
    CWebSocketClientIntfHandler m_handler;
};

TEST_F(WebSocketFlowTest, TwoTabids_LandInTwoSessions_RepeatedTabidReusesItsSession) {
    const long inits = Stats().nInitCalls;
    Send("{\"id\":\"1\",\"tabid\":\"tab1\",\"origin\":\"o\"}");
    Send("{\"id\":\"1\",\"tabid\":\"tab2\",\"origin\":\"o\"}");
    Send("{\"id\":\"2\",\"tabid\":\"tab1\",\"origin\":\"o\"}");
    EXPECT_EQ(inits + 2, Stats().nInitCalls);
}

TEST_F(WebSocketFlowTest, GetResultFrame_GoesToTheModuleAndTaskIsRemoved) {
    const std::string request =
        "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\",\"cmd\":\"GET_RESULT\"}";
    const std::string reply = Send(request);
    EXPECT_EQ("TRUE", StatusOf(reply));
    EXPECT_EQ(Escaped("echo:" + request), InnerReplyOf(reply));

    // Nothing is parked: the task under (origin, quoted tabid, id&tabid) is gone.
    _PROTOCOL_HEADER header;
    header.origin = "o";
    header.session_id = "\"t\"";
    header.id = "1";
    header.tabid = "t";
    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_NONE, m_handler.GetTaskResult(header, response));
}

TEST_F(WebSocketFlowTest, NotJson_AnswersFalseWithoutCallingTheModule) {
    const long invokes = Stats().nInvokeCalls;
    const std::string reply = Send("[object Object]");
    EXPECT_EQ("FALSE", StatusOf(reply));
    EXPECT_EQ("", InnerReplyOf(reply));
    EXPECT_EQ(invokes, Stats().nInvokeCalls);
}

TEST_F(WebSocketFlowTest, GetVersions_ReportsVersions) {
    const std::string reply =
        Send("{\"init\":\"get_versions\",\"m\":\"X\",\"id\":\"1\",\"tabid\":\"t\"}");
    EXPECT_EQ(
        0u,
        reply.find("{ \"daemon\": \"1.0.1.1\", \"ex\": \"1.0.1.1013\", \"m\": { \"name\": \"X\", "
                   "\"version\": \"3.3.2.25\" }, \"response\": { \"id\": \"1\", \"tabid\": \"t\""));
    EXPECT_EQ("TRUE", StatusOf(reply));
}

// --- refusals and failures --------------------------------------------------------------------

TEST_F(HttpFlowTest, SessionBound_ManyMembersFromOnePage_RefusedPastTheBoundOtherPagesServed) {
    LogCapture cap;
    CWebSocketClientIntfHandler ws;
    const char* page = "https://many.example";
    auto call = [&](CDMServerClientIntfHandler& handler, const char* origin,
                    const std::string& member, const std::string& tab) {
        std::string reply;
        handler.ProcessRequest(
            "{\"id\":\"1\",\"tabid\":\"" + tab + "\",\"origin\":\"" + member + "\"}", origin,
            reply);
        return reply;
    };
    // HTTP: a session per "origin" member; WebSocket: a session per member and tab.
    size_t served = 0;
    for (size_t i = 0; i < kMaxSessionsPerPage; ++i) {
        served += StatusOf(call(m_handler, page, "m" + std::to_string(i), "t")) == "TRUE";
        served += StatusOf(call(ws, page, "m0", "t" + std::to_string(i))) == "TRUE";
    }
    ASSERT_EQ(2 * kMaxSessionsPerPage, served);

    const long inits = Stats().nInitCalls;
    for (CDMServerClientIntfHandler* handler :
         {static_cast<CDMServerClientIntfHandler*>(&m_handler),
          static_cast<CDMServerClientIntfHandler*>(&ws)}) {
        const std::string refused = call(*handler, page, "m-extra", "t-extra");
        EXPECT_EQ("FALSE", StatusOf(refused));
        EXPECT_EQ("", InnerReplyOf(refused));
        // The page's existing sessions, and every other page, are still served.
        EXPECT_EQ("TRUE", StatusOf(call(*handler, page, "m0", "t0")));
        EXPECT_EQ("TRUE", StatusOf(call(*handler, "https://other.example", "m-extra", "t-extra")));
        EXPECT_EQ("TRUE", StatusOf(call(*handler, nullptr, "m-extra", "t-extra")));
    }
    EXPECT_EQ(inits + 4, Stats().nInitCalls) << "no session opened for the refused requests";
    const std::string line = "[InsertTask] ERROR session limit of the page reached (" +
                             std::to_string(kMaxSessionsPerPage) +
                             "), request refused : https://many.example\n";
    const std::vector<std::string> lines = cap.Lines();
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), line));
}

TEST_F(HttpFlowTest, ThrowingModuleCall_TaskFinishes_KeyStaysUsableAndSessionExpires) {
    // A task left running would make the next request with its key wait for ever.
    Watchdog watchdog;
    LogCapture cap;
    FakeClock clock(time(nullptr));
    CWebSocketClientIntfHandler ws;
    const std::string key = "\"id\":\"x\",\"tabid\":\"t\",\"origin\":\"thrown\"";
    const std::string parkThrow = "{" + key + ",\"use_getresult\":\"TRUE\",\"a\":\"fake:throw\"}";
    const std::string collect = "{" + key + ",\"cmd\":\"GET_RESULT\"}";

    // The call ends like a failed one: finished, with an empty reply, and a log line.
    const std::string thrown = Send(parkThrow);
    EXPECT_EQ("TRUE", StatusOf(thrown));
    EXPECT_EQ("", InnerReplyOf(thrown));
    EXPECT_TRUE(cap.Contains("[ProcessTask] ERROR module call threw\n"));
    std::string wsReply;
    ws.ProcessRequest(parkThrow, wsReply);
    EXPECT_EQ("TRUE", StatusOf(wsReply));

    // The parked outcome is collected; the key then serves ordinary calls on both transports.
    EXPECT_EQ("TRUE", StatusOf(Send(collect)));
    Send(parkThrow);
    const std::string again = Send("{" + key + ",\"use_getresult\":\"TRUE\"}");
    EXPECT_EQ(Escaped("echo:{" + key + ",\"use_getresult\":\"TRUE\"}"), InnerReplyOf(again));
    ws.ProcessRequest("{" + key + "}", wsReply);
    EXPECT_EQ(Escaped("echo:{" + key + "}"), InnerReplyOf(wsReply));

    // And the sessions expire: nothing is left running in them.
    ws.ProcessRequest(parkThrow, wsReply);
    Send(parkThrow);
    const long uninits = Stats().nUninitCalls;
    clock.Set(clock.Now() + 3601);
    m_handler.CleanUp_OldSessions();
    ws.CleanUp_OldSessions();
    EXPECT_EQ(uninits + 2, Stats().nUninitCalls);
}

// --- clean-up thread ---------------------------------------------------------------------------

TEST_F(HttpFlowTest, CleanupThread_ExpiredParkedResult_SessionErasedAndModuleClosed) {
    LogCapture cap;
    FakeClock clock(time(nullptr));
    {
        CHTTPClientIntfHandler handler(std::chrono::milliseconds(20));
        std::string reply;
        handler.ProcessRequest(
            "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"late\",\"use_getresult\":\"x\"}", reply);
        ASSERT_EQ("TRUE", StatusOf(reply));
        const long uninits = Stats().nUninitCalls;

        clock.Set(clock.Now() + 3601);
        EXPECT_TRUE(Eventually([&] { return cap.Contains("Erase Session : \n"); }));
        EXPECT_EQ(uninits + 1, Stats().nUninitCalls);
        EXPECT_TRUE(handler.IsCleanupRunning());
    }
}

TEST(CleanupThread, HandlerDestroyedRightAfterConstruction_ReturnsWellBeforeOneWait) {
    const auto start = std::chrono::steady_clock::now();
    { CWebSocketClientIntfHandler handler; }
    // The product's wait is 60 s; a stop must not sit it out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
