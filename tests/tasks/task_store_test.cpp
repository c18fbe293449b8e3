// The task store: filing, replacement, results, expiry and clean-up, against a fake bridge.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "task_store_support.h"

namespace {

class TaskStoreTest : public ::testing::Test {
protected:
    FakeBridge m_bridge;
    BridgeSwap m_swap{&m_bridge};
    FakeClock m_clock{100000};
};

// --- tasks and results -------------------------------------------------------------------------

TEST_F(TaskStoreTest, GetTaskResult_TaskLifecycle_ReportsNoneRunningThenFinishedRepeatedly) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("https://a.example", "7", "t1");
    _PROTOCOL_RESPONSE response;
    response.status = "keep";
    response.reply = "keep";

    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResult(h, response));
    EXPECT_EQ(1, store.ProcessTask(h));
    EXPECT_EQ("keep", response.reply);

    ASSERT_EQ(0, store.CreateTask(h, "{\"id\":\"7\"}"));
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResult(h, response));
    EXPECT_EQ("keep", response.status);
    EXPECT_EQ("keep", response.reply);

    EXPECT_EQ(0, store.ProcessTask(h));
    for (int round = 0; round < 2; ++round) {
        _PROTOCOL_RESPONSE got;
        got.status = "x";
        EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(h, got));
        EXPECT_EQ("", got.status);
        EXPECT_EQ("reply:{\"id\":\"7\"}", got.reply);
    }
    EXPECT_EQ(1, m_bridge.m_nCalls.load());
}

TEST_F(TaskStoreTest, CreateTask_SameKeyAfterCompletion_ReplacesTaskAndExtendsSession) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    store.CreateTask(h, "first");
    store.ProcessTask(h);

    m_clock.Set(200000);
    store.CreateTask(h, "second");

    EXPECT_EQ(1, store.TaskCount("o", ""));
    EXPECT_EQ(200000 + 3600, store.Expiry("o", ""));
    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResult(h, response));
    store.ProcessTask(h);
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(h, response));
    EXPECT_EQ("reply:second", response.reply);
    EXPECT_EQ(1, m_bridge.m_nOpens.load());
}

TEST_F(TaskStoreTest, CreateTask_Always_LogsTheRequestText) {
    LogCapture cap;
    InspectableStore store;
    store.CreateTask(MakeHeader("o", "1", "t"), "{\"a\": 1}");
    EXPECT_TRUE(cap.Contains("[CreateTask] Param : {\"a\": 1}\n"));
}

TEST_F(TaskStoreTest, RemoveTask_FinishedAndUnknownTasks_RemovesOnlyTheNamedTask) {
    InspectableStore store;
    const _PROTOCOL_HEADER a = MakeHeader("o", "1", "t");
    const _PROTOCOL_HEADER b = MakeHeader("o", "2", "t");
    store.CreateTask(a, "a");
    store.ProcessTask(a);
    store.CreateTask(b, "b");
    store.ProcessTask(b);

    EXPECT_EQ(0, store.RemoveTask(a));
    EXPECT_EQ(0, store.RemoveTask(a));
    EXPECT_EQ(0, store.RemoveTask(MakeHeader("elsewhere", "1", "t")));

    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResult(a, response));
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(b, response));
    // Collecting or removing does not extend or drop the session.
    EXPECT_EQ(1u, store.SessionCount("o"));
}

TEST_F(TaskStoreTest, GetTaskResultAndRemove_RunningThenFinished_LeavesRunningTaskRemovesFinished) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    store.CreateTask(h, "x");
    _PROTOCOL_RESPONSE response;

    // A running task (another request's, for the caller) is neither waited for nor removed.
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResultAndRemove(h, response));
    EXPECT_EQ(1, store.TaskCount("o", ""));

    store.ProcessTask(h);
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResultAndRemove(h, response));
    EXPECT_EQ("reply:x", response.reply);
    EXPECT_EQ(0, store.TaskCount("o", ""));
    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResultAndRemove(h, response));
}

TEST_F(TaskStoreTest, InsertTask_KeysOfHttpAndWebSocket_GroupSessionsByOriginThenSessionKey) {
    InspectableStore store;
    // HTTP: session key always empty, so two tabs of one origin share a session.
    store.CreateTask(MakeHeader("o", "1", "t1"), "x");
    store.CreateTask(MakeHeader("o", "1", "t2"), "x");
    // WebSocket: the quoted tabid is the session key.
    store.CreateTask(MakeHeader("w", "1", "t1", "\"t1\""), "x");
    store.CreateTask(MakeHeader("w", "1", "t2", "\"t2\""), "x");

    EXPECT_EQ(1u, store.SessionCount("o"));
    EXPECT_EQ(2, store.TaskCount("o", ""));
    EXPECT_EQ(2u, store.SessionCount("w"));
    EXPECT_EQ(1, store.TaskCount("w", "\"t1\""));
    EXPECT_EQ(3, m_bridge.m_nOpens.load());  // one module reference per session
    EXPECT_TRUE(store.WithSession("w", "\"t2\"", [](CHTTPTaskManager::CHTTPSession& s) {
        EXPECT_EQ("\"t2\"", s.GetSessionID());
        EXPECT_TRUE(s.isExistTask("1&t2"));
    }));
}

TEST_F(TaskStoreTest, ProcessTask_SessionWhoseOpenFailed_FinishesWithEmptyReply) {
    m_bridge.m_bFailOpen = true;
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    store.CreateTask(h, "x");
    store.ProcessTask(h);

    _PROTOCOL_RESPONSE response;
    response.reply = "old";
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(h, response));
    EXPECT_EQ("", response.reply);
    EXPECT_EQ(0, m_bridge.m_nCalls.load());
}

TEST_F(TaskStoreTest, NullArguments_AreRefused) {
    InspectableStore store;
    EXPECT_EQ(-1, store.InsertTask(nullptr));
    CHTTPTaskManager::CHTTPSession session;
    EXPECT_EQ(-1, session.AddTask(nullptr));
    EXPECT_EQ(-1, session.RemoveTask(static_cast<CHTTPTaskManager::CHTTPTask*>(nullptr)));
    EXPECT_EQ(-1, session.RemoveTask(static_cast<const char*>(nullptr)));
    EXPECT_EQ(nullptr, session.GetTask(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(session.isExistTask(static_cast<const char*>(nullptr)));
    EXPECT_EQ(0, session.RemoveTask("missing&key"));
}

TEST_F(TaskStoreTest, SessionRemoveTask_OtherObjectWithSameKey_RemovesTheFiledTask) {
    CHTTPTaskManager::CHTTPSession session;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    auto* filed = new CHTTPTaskManager::CHTTPTask(h, "a", nullptr);
    filed->ProcessTask();
    session.AddTask(filed);
    CHTTPTaskManager::CHTTPTask twin(h, "b", nullptr);

    EXPECT_EQ(0, session.RemoveTask(&twin));
    EXPECT_EQ(0, session.GetCount());
}

TEST_F(TaskStoreTest, Destruction_WithOpenSessionsAndTasks_ClosesEveryModuleReference) {
    {
        InspectableStore store;
        store.CreateTask(MakeHeader("o", "1", "t"), "a");
        store.CreateTask(MakeHeader("p", "1", "t"), "b");
        store.ProcessTask(MakeHeader("p", "1", "t"));
    }
    EXPECT_EQ(2, m_bridge.m_nOpens.load());
    EXPECT_EQ(2, m_bridge.m_nCloses.load());
}

// --- expiry and clean-up -----------------------------------------------------------------------

TEST_F(TaskStoreTest, IsOverExpireTime_AtAndAfterTheExpirySecond_ExpiresOnlyStrictlyLater) {
    LogCapture cap;
    CHTTPTaskManager::CHTTPSession session;
    EXPECT_EQ(100000 + 3600, session.GetExpireTick());

    session.SetExpireTick(500000);
    m_clock.Set(500000);
    EXPECT_FALSE(session.IsOverExpireTime());
    EXPECT_TRUE(cap.Lines().empty());

    m_clock.Set(500001);
    EXPECT_TRUE(session.IsOverExpireTime());
    EXPECT_TRUE(cap.Contains("[IsOverExpireTime] 500000, 500001\n"));

    session.ResetExpireTick();
    EXPECT_EQ(500001 + 3600, session.GetExpireTick());
}

TEST_F(TaskStoreTest, CleanUp_ExpiredSessionWithFinishedAndRunningTask_KeepsSessionUntilTaskEnds) {
    LogCapture cap;
    InspectableStore store;
    const _PROTOCOL_HEADER done = MakeHeader("o", "1", "t", "\"t\"");
    const _PROTOCOL_HEADER running = MakeHeader("o", "2", "t", "\"t\"");
    store.CreateTask(done, "a");
    store.ProcessTask(done);
    store.CreateTask(running, "b");

    m_clock.Set(100000 + 3601);
    store.CleanUp_OldSessions();

    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResult(done, response));
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResult(running, response));
    EXPECT_EQ(1, store.TaskCount("o", "\"t\""));
    EXPECT_EQ(-1, cap.IndexOf("Erase Session : \"t\"\n"));
    EXPECT_TRUE(cap.Contains("[IsOverExpireTime] 103600, 103601\n"));
    EXPECT_EQ(0, m_bridge.m_nCloses.load());

    store.ProcessTask(running);
    store.CleanUp_OldSessions();

    EXPECT_NE(-1, cap.IndexOf("Erase Session : \"t\"\n"));
    EXPECT_FALSE(store.HasOrigin("o"));
    EXPECT_EQ(1, m_bridge.m_nCloses.load());
}

TEST_F(TaskStoreTest, CleanUp_MixedExpiry_RemovesOnlyExpiredSessionsAndEmptiedOrigins) {
    LogCapture cap;
    InspectableStore store;
    // Origin "old": two sessions, both expired. Origin "mixed": one expired, one fresh.
    // Origin "fresh": a finished task in an unexpired session, which stays.
    store.CreateTask(MakeHeader("old", "1", "a", "A"), "x");
    store.CreateTask(MakeHeader("old", "1", "b", "B"), "x");
    store.CreateTask(MakeHeader("mixed", "1", "a", "A"), "x");
    m_clock.Set(100000 + 3000);
    store.CreateTask(MakeHeader("mixed", "1", "b", "B"), "x");
    store.CreateTask(MakeHeader("fresh", "1", "a"), "x");
    for (const auto& h : {MakeHeader("old", "1", "a", "A"), MakeHeader("old", "1", "b", "B"),
                          MakeHeader("mixed", "1", "a", "A"), MakeHeader("mixed", "1", "b", "B"),
                          MakeHeader("fresh", "1", "a")}) {
        store.ProcessTask(h);
    }

    m_clock.Set(100000 + 3601);
    store.CleanUp_OldSessions();

    EXPECT_FALSE(store.HasOrigin("old"));
    EXPECT_EQ(1u, store.SessionCount("mixed"));
    EXPECT_EQ(1, store.TaskCount("mixed", "B"));
    EXPECT_EQ(1, store.TaskCount("fresh", ""));
    EXPECT_EQ(3, m_bridge.m_nCloses.load());
    // Origins in key order ("mixed" before "old"), sessions in key order within each.
    const int mixedA = cap.IndexOf("Erase Session : A\n");
    ASSERT_NE(-1, mixedA);
    const int oldA = cap.IndexOf("Erase Session : A\n", mixedA + 1);
    ASSERT_NE(-1, oldA);
    EXPECT_NE(-1, cap.IndexOf("Erase Session : B\n", oldA + 1));
}

// --- session bounds ----------------------------------------------------------------------------

TEST_F(TaskStoreTest, SessionBounds_StoreFull_NewPagesRefusedNothingEvicted_CleanUpFreesRoom) {
    LogCapture cap;
    InspectableStore store;
    auto call = [&](const std::string& partition, const std::string& origin) {
        const _PROTOCOL_HEADER h = MakeHeader(origin, "1", "t", "", partition);
        if (store.CreateTask(h, "r") != 0)
            return false;
        store.ProcessTask(h);
        return true;
    };
    // Pages fill the store, each up to its own bound.
    size_t filed = 0;
    for (size_t page = 0; page < kMaxSessionsPerStore / kMaxSessionsPerPage; ++page)
        for (size_t i = 0; i < kMaxSessionsPerPage; ++i)
            filed += call("=https://p" + std::to_string(page), "o" + std::to_string(i));
    ASSERT_EQ(kMaxSessionsPerStore, filed);

    // A new page is refused and logged; no session of another page is given up for it, and the
    // sessions already filed keep taking tasks.
    EXPECT_FALSE(call("=https://late.example", "o"));
    EXPECT_FALSE(call("", "o"));
    EXPECT_TRUE(cap.Contains("[InsertTask] ERROR session limit reached (" +
                             std::to_string(kMaxSessionsPerStore) +
                             "), request refused : https://late.example\n"));
    EXPECT_TRUE(cap.Contains("[InsertTask] ERROR session limit reached (" +
                             std::to_string(kMaxSessionsPerStore) +
                             "), request refused : (no Origin header)\n"));
    EXPECT_EQ(kMaxSessionsPerStore, store.TotalSessions());
    EXPECT_EQ(static_cast<int>(kMaxSessionsPerStore), m_bridge.m_nOpens.load());
    EXPECT_TRUE(call("=https://p0", "o0"));
    EXPECT_FALSE(store.HasOrigin("o", "=https://late.example"));

    // Expired sessions are dropped by the clean-up, and with them their place under both bounds.
    m_clock.Set(m_clock.Now() + 3601);
    store.CleanUp_OldSessions();
    EXPECT_EQ(0u, store.TotalSessions());
    EXPECT_TRUE(call("=https://late.example", "o"));
    EXPECT_TRUE(call("=https://p0", "o-new"));
    // One page's sessions stay apart from another's with the same "origin" member.
    EXPECT_TRUE(call("=https://p1", "o"));
    EXPECT_TRUE(store.HasOrigin("o", "=https://late.example"));
    EXPECT_TRUE(store.HasOrigin("o", "=https://p1"));
    EXPECT_EQ(3u, store.TotalSessions());

    // The keys a session is kept under are bounded too: Origin header and "origin" member.
    const std::string longest(kMaxSessionKeyBytes, 'k');
    EXPECT_TRUE(call("=" + longest, longest));
    EXPECT_FALSE(call("=" + longest + "k", "o"));
    EXPECT_FALSE(call("=https://p1", longest + "k"));
    EXPECT_TRUE(cap.Contains("[InsertTask] ERROR session key of " +
                             std::to_string(kMaxSessionKeyBytes + 1) +
                             " bytes, request refused\n"));
    EXPECT_EQ(4u, store.TotalSessions());
}

// --- byte budgets ------------------------------------------------------------------------------

// Budgets of a few parked results: a request of 16 KiB is charged about 17 KiB when it is filed and
// 34 KiB once its reply ("reply:" + request) is in, so a page parks two, and the store four.
constexpr size_t kPageBudget = 80 * 1024;
constexpr size_t kStoreBudget = 140 * 1024;

class TaskBytesTest : public TaskStoreTest {
protected:
    // Files and runs a request of the page, leaving its result parked; false when refused.
    bool Park(const std::string& partition, const std::string& id) {
        const _PROTOCOL_HEADER h = MakeHeader("o", id, "t", "", partition);
        if (m_store.CreateTask(h, m_request) != 0)
            return false;
        m_store.ProcessTask(h);
        return true;
    }
    // The log line of a refusal of Park(partition, id).
    std::string Refusal(const char* bound, size_t limit, const std::string& partition,
                        const std::string& id) {
        const CHTTPTaskManager::CHTTPTask task(MakeHeader("o", id, "t", "", partition), m_request,
                                               nullptr);
        return std::string("[InsertTask] ERROR task memory limit ") + bound + "reached (" +
               std::to_string(limit) + " bytes), request of " +
               std::to_string(CHTTPTaskManager::TaskCharge(task)) +
               " bytes refused : " + DescribePagePartition(partition) + "\n";
    }
    bool Collect(const std::string& partition, const std::string& id) {
        _PROTOCOL_RESPONSE response;
        return m_store.GetTaskResultAndRemove(MakeHeader("o", id, "t", "", partition), response) ==
               TASK_RESULT_FINISHED;
    }

    const std::string m_request = std::string(16 * 1024, 'r');
    InspectableStore m_store{kPageBudget, kStoreBudget};
};

TEST_F(TaskBytesTest, PagePastItsBudget_RefusedWhileOtherPagesServed_CollectingGivesItBack) {
    LogCapture cap;
    const std::string a = "=https://a.example";
    const std::string b = "=https://b.example";
    ASSERT_TRUE(Park(a, "1"));
    ASSERT_TRUE(Park(a, "2"));
    // The replies count: without them the page would have room for five.
    EXPECT_FALSE(Park(a, "3"));
    EXPECT_TRUE(cap.Contains(Refusal("of the page ", kPageBudget, a, "3")));
    EXPECT_EQ(2, m_bridge.m_nCalls.load());  // the refused request never reached the module
    EXPECT_TRUE(Park(b, "1"));               // another page is served
    EXPECT_TRUE(Park(b, "2"));

    // The store is full now: a third page is refused, and nothing of the others is evicted.
    EXPECT_FALSE(Park("=https://c.example", "1"));
    EXPECT_TRUE(cap.Contains(Refusal("", kStoreBudget, "=https://c.example", "1")));
    EXPECT_TRUE(m_store.ChargesMatchTasks());
    EXPECT_EQ(m_store.TaskBytes(a) + m_store.TaskBytes(b), m_store.TotalTaskBytes());

    // Collecting gives the bytes back, to the page and to the store.
    EXPECT_TRUE(Collect(a, "1"));
    EXPECT_TRUE(Park("=https://c.example", "1"));
    EXPECT_FALSE(Park(a, "3"));  // the store is full again
    EXPECT_TRUE(Collect("=https://c.example", "1"));
    EXPECT_TRUE(Park(a, "3"));
    for (const char* id : {"2", "3"})
        EXPECT_TRUE(Collect(a, id));
    EXPECT_EQ(0u, m_store.TaskBytes(a));
    EXPECT_TRUE(m_store.ChargesMatchTasks());
}

TEST_F(TaskBytesTest, Expiry_GivesTheBudgetBack) {
    const std::string a = "=https://a.example";
    ASSERT_TRUE(Park(a, "1"));
    // A task replaced under its key gives its bytes back, or there would be no room for "2".
    ASSERT_TRUE(Park(a, "1"));
    ASSERT_TRUE(Park(a, "2"));
    EXPECT_FALSE(Park(a, "3"));
    EXPECT_TRUE(m_store.ChargesMatchTasks());

    m_clock.Set(m_clock.Now() + 3601);
    m_store.CleanUp_OldSessions();
    EXPECT_EQ(0u, m_store.TotalTaskBytes());
    EXPECT_TRUE(Park(a, "3"));
    EXPECT_TRUE(Park(a, "4"));
}

}  // namespace
