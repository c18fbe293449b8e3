// The client interfaces under many threads, against the fake native module through the real
// bridge: calls and collections at once, a collection while the module is still inside the call,
// and a repeated key arriving while the first call runs.
#include <gtest/gtest.h>

#include "support/DMLog.h"

#include <memory>
#include <set>
#include <vector>

#include "protocol/HTTPClientIntfHandler.h"
#include "protocol/WebSocketClientIntfHandler.h"
#include "protocol_test_support.h"

namespace {

class ConcurrencyTest : public FakeModuleFixture {
protected:
    // The log object is made by the first log call and its creation takes no lock; the daemon
    // makes that call on its main thread before any server thread exists, and so do these tests.
    static void SetUpTestSuite() { DMlogprint("%s\n", "log ready"); }

    Watchdog m_watchdog;
    CHTTPClientIntfHandler m_http;
    CWebSocketClientIntfHandler m_ws;
};

std::string Call(CDMServerClientIntfHandler& handler, const std::string& request) {
    std::string reply;
    handler.ProcessRequest(request, reply);
    return reply;
}

TEST_F(ConcurrencyTest, GetResult_WhileModuleInsideCall_RunningThenTrueWithSameTextThenFalse) {
    // The module sleeps long enough for the collection below to arrive while it is inside.
    const std::string call =
        "{\"id\":\"9\",\"tabid\":\"t\",\"origin\":\"o\",\"use_getresult\":\"TRUE\",\"x\":\"fake:"
        "sleep=4000\"}";
    const std::string collect =
        "{\"id\":\"9\",\"tabid\":\"t\",\"origin\":\"o\",\"cmd\":\"GET_RESULT\"}";
    std::string callReply;
    DeadlineThread caller([&] { callReply = Call(m_http, call); });
    ASSERT_TRUE(Eventually([&] { return Stats().nActive > 0; }));

    const std::string running = Call(m_http, collect);
    EXPECT_EQ("RUNNING", StatusOf(running));
    EXPECT_EQ("", InnerReplyOf(running));
    EXPECT_GT(Stats().nActive, 0)
        << "the module call ended too early for this test to mean anything";

    caller.Join();
    ASSERT_EQ("TRUE", StatusOf(callReply));
    EXPECT_EQ(Escaped("echo:" + call), InnerReplyOf(callReply));
    const std::string collected = Call(m_http, collect);
    EXPECT_EQ("TRUE", StatusOf(collected));
    EXPECT_EQ(InnerReplyOf(callReply), InnerReplyOf(collected));
    EXPECT_EQ("FALSE", StatusOf(Call(m_http, collect)));
}

TEST_F(ConcurrencyTest, SameKey_SecondRequestWhileFirstRuns_BothAnsweredWithoutDeadlock) {
    const std::string first =
        "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\",\"use_getresult\":\"TRUE\",\"x\":\"fake:"
        "sleep=1000 a\"}";
    const std::string second =
        "{\"id\":\"1\",\"tabid\":\"t\",\"origin\":\"o\",\"use_getresult\":\"TRUE\",\"x\":\"b\"}";
    std::string firstReply;
    std::string secondReply;
    DeadlineThread one([&] { firstReply = Call(m_http, first); });
    ASSERT_TRUE(Eventually([&] { return Stats().nActive > 0; }));
    DeadlineThread two([&] { secondReply = Call(m_http, second); });
    one.Join();
    two.Join();

    // The second request replaced the first task once it had finished, so its own result stands.
    EXPECT_EQ("TRUE", StatusOf(secondReply));
    EXPECT_EQ(Escaped("echo:" + second), InnerReplyOf(secondReply));
    // The first may have been answered before or after the replacement.
    const std::string status = StatusOf(firstReply);
    EXPECT_TRUE(status == "TRUE" || status == "RUNNING") << firstReply;
    if (status == "TRUE") {
        const std::string text = InnerReplyOf(firstReply);
        EXPECT_TRUE(text == Escaped("echo:" + first) || text == Escaped("echo:" + second)) << text;
    }
}

TEST_F(ConcurrencyTest, ManyThreads_DistinctCalls_EachGetsItsOwnReplyOneModuleCallAtATime) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 25;
    std::vector<std::unique_ptr<DeadlineThread>> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<DeadlineThread>([&, t] {
            for (int n = 0; n < kCalls; ++n) {
                const std::string tab = "tab" + std::to_string(t);
                const std::string request = "{\"id\":\"" + std::to_string(n) + "\",\"tabid\":\"" +
                                            tab + "\",\"origin\":\"https://p.example\"}";
                // Even threads speak HTTP, odd ones WebSocket: the two stores share the module.
                const std::string reply =
                    Call(t % 2 == 0 ? static_cast<CDMServerClientIntfHandler&>(m_http)
                                    : static_cast<CDMServerClientIntfHandler&>(m_ws),
                         request);
                if (StatusOf(reply) != "TRUE" || InnerReplyOf(reply) != Escaped("echo:" + request))
                    ++wrong;
            }
        }));
    }
    for (auto& t : threads)
        t->Join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(1, Stats().nMaxActive);
}

TEST_F(ConcurrencyTest, MixedLoad_RepeatedKeysCallsAndCollections_AllAnswersWellFormed) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    std::vector<std::unique_ptr<DeadlineThread>> threads;
    std::atomic<int> malformed{0};
    std::atomic<int> foreign{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<DeadlineThread>([&, t] {
            for (int n = 0; n < kRounds; ++n) {
                const std::string key = std::to_string((t + n) % 3);
                const std::string keyPart =
                    "\"id\":\"" + key + "\",\"tabid\":\"t\",\"origin\":\"o\"";
                std::string request;
                switch ((t + n) % 4) {
                    case 0:
                        request = "{" + keyPart + ",\"cmd\":\"GET_RESULT\"}";
                        break;
                    case 1:
                        request =
                            "{" + keyPart + ",\"use_getresult\":\"TRUE\",\"x\":\"fake:sleep=5\"}";
                        break;
                    case 2:
                        request = "{" + keyPart + "}";
                        break;
                    default:
                        request = "{" + keyPart + ",\"use_getresult\":\"TRUE\"}";
                        break;
                }
                const bool viaWs = (n % 5) == 0;
                const std::string reply =
                    Call(viaWs ? static_cast<CDMServerClientIntfHandler&>(m_ws)
                               : static_cast<CDMServerClientIntfHandler&>(m_http),
                         request);
                const std::string status = StatusOf(reply);
                const std::string text = InnerReplyOf(reply);
                if (text == "<malformed>" ||
                    (status != "TRUE" && status != "RUNNING" && status != "FALSE") ||
                    (status != "TRUE" && !text.empty())) {
                    ++malformed;
                }
                // Whatever a reply carries came from a call under the same key.
                if (status == "TRUE" && !text.empty() &&
                    text.find(Escaped("\"id\":\"" + key + "\",")) == std::string::npos) {
                    ++foreign;
                }
            }
        }));
    }
    for (auto& t : threads)
        t->Join();
    EXPECT_EQ(0, malformed.load());
    EXPECT_EQ(0, foreign.load());
    EXPECT_EQ(1, Stats().nMaxActive);
}

}  // namespace
