// The task store under several threads: waits for a running task must not block that task, the
// store stays usable while a module call runs, and a mixed load ends without deadlock or damage.
#include <gtest/gtest.h>

#include "support/DMLog.h"

#include <random>
#include <vector>

#include "task_store_support.h"

namespace {

class TaskStoreConcurrencyTest : public ::testing::Test {
protected:
    // The log object is made by the first log call and its creation takes no lock; the daemon
    // makes that call on its main thread before any server thread exists, and so do these tests.
    static void SetUpTestSuite() { DMlogprint("%s\n", "log ready"); }

    Watchdog m_watchdog;
    FakeBridge m_bridge;
    BridgeSwap m_swap{&m_bridge};
};

TEST_F(TaskStoreConcurrencyTest, RemoveTask_TaskCreatedButNotStarted_WaitsWithoutBlockingItsStart) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    store.CreateTask(h, "x");

    DeadlineThread remover([&] { store.RemoveTask(h); });
    ASSERT_TRUE(Eventually([&] { return store.IsPinned("o", ""); }));
    EXPECT_FALSE(remover.Done());

    // Starting the task needs the store's lock, which the waiting remover must not be holding.
    EXPECT_EQ(0, store.ProcessTask(h));
    remover.Join();

    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResult(h, response));
    EXPECT_FALSE(store.IsPinned("o", ""));
}

TEST_F(TaskStoreConcurrencyTest, CreateTask_SameKeyWhileFirstNotYetStarted_NoDeadlockThenReplaces) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    store.CreateTask(h, "first");

    DeadlineThread second([&] { store.CreateTask(h, "second"); });
    ASSERT_TRUE(Eventually([&] { return store.IsPinned("o", ""); }));

    store.ProcessTask(h);  // runs the first task: the second is not filed before it has finished
    second.Join();

    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResult(h, response));
    store.ProcessTask(h);
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(h, response));
    EXPECT_EQ("reply:second", response.reply);
    EXPECT_EQ(1, store.TaskCount("o", ""));
}

TEST_F(TaskStoreConcurrencyTest, ModuleCallInProgress_StoreStaysUsable_ResultAppearsAfterward) {
    FakeClock clock(1000);
    InspectableStore store;
    const _PROTOCOL_HEADER slow = MakeHeader("o", "1", "t");
    const _PROTOCOL_HEADER other = MakeHeader("o", "2", "t");
    store.CreateTask(slow, "hold");

    DeadlineThread worker([&] { store.ProcessTask(slow); });
    ASSERT_TRUE(m_bridge.WaitInside());

    // With the module call under way: results, new tasks and clean-up all go ahead.
    _PROTOCOL_RESPONSE response;
    EXPECT_EQ(TASK_RESULT_RUNNING, store.GetTaskResult(slow, response));
    EXPECT_EQ(0, store.CreateTask(other, "quick"));
    clock.Set(1000 + 3601);
    store.CleanUp_OldSessions();  // expired, but the running task keeps the session
    EXPECT_EQ(2, store.TaskCount("o", ""));

    m_bridge.Release();
    worker.Join();
    EXPECT_EQ(TASK_RESULT_FINISHED, store.GetTaskResult(slow, response));
    EXPECT_EQ("reply:hold", response.reply);
}

TEST_F(TaskStoreConcurrencyTest, MixedLoad_ManyThreadsFewKeys_EndsConsistently) {
    FakeClock clock(1000);
    InspectableStore store;
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::atomic<bool> stopCleanup{false};
    std::atomic<int> finishedSeen{0};

    DeadlineThread cleaner([&] {
        time_t now = 1000;
        while (!stopCleanup.load()) {
            now += 1200;  // every third pass or so finds sessions expired
            clock.Set(now);
            store.CleanUp_OldSessions();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::unique_ptr<DeadlineThread>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::make_unique<DeadlineThread>([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 1u);
            for (int round = 0; round < kRounds; ++round) {
                const std::string origin = (rng() % 2) ? "o1" : "o2";
                const std::string session = (rng() % 2) ? "" : "\"s\"";
                const _PROTOCOL_HEADER h =
                    MakeHeader(origin, std::to_string(rng() % 3), "t", session);
                _PROTOCOL_RESPONSE response;
                switch (rng() % 4) {
                    case 0:
                    case 1:
                        store.CreateTask(h, "req");
                        store.ProcessTask(h);
                        if (store.GetTaskResult(h, response) == TASK_RESULT_FINISHED) {
                            EXPECT_EQ("reply:req", response.reply);
                            ++finishedSeen;
                        }
                        break;
                    case 2:
                        store.GetTaskResult(h, response);
                        break;
                    default:
                        store.RemoveTask(h);
                        break;
                }
            }
        }));
    }
    for (auto& w : workers)
        w->Join(std::chrono::seconds(120));
    stopCleanup = true;
    cleaner.Join();

    EXPECT_GT(finishedSeen.load(), 0);
    // The bytes charged are exactly those of the tasks left, and nothing once they are gone.
    EXPECT_TRUE(store.ChargesMatchTasks());
    // Every task has finished, so one more expired pass empties the store and closes every session.
    clock.Set(clock.Now() + 7200);
    store.CleanUp_OldSessions();
    EXPECT_EQ(0u, store.OriginCount());
    EXPECT_EQ(0u, store.TotalTaskBytes());
    EXPECT_EQ(m_bridge.m_nOpens.load(), m_bridge.m_nCloses.load());
}

TEST_F(TaskStoreConcurrencyTest, RunTask_SameKeysFromManyThreads_EachRequestGetsItsOwnResult) {
    InspectableStore store;
    const _PROTOCOL_HEADER h = MakeHeader("o", "1", "t");
    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    std::atomic<int> wrong{0};
    std::vector<std::unique_ptr<DeadlineThread>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::make_unique<DeadlineThread>([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                // Collected and parked requests mixed: either way a request is answered with the
                // reply to its own text, never with that of a request that replaced its task.
                const std::string request = "r" + std::to_string(t) + "-" + std::to_string(round);
                _PROTOCOL_RESPONSE response;
                if (store.RunTask(h, request, /*bKeep=*/round % 3 == 0, response) !=
                        TASK_RESULT_FINISHED ||
                    response.reply != "reply:" + request)
                    ++wrong;
            }
        }));
    }
    for (auto& w : workers)
        w->Join(std::chrono::seconds(120));
    EXPECT_EQ(0, wrong.load());
    // At most the one parked task under the keys is left, and the charges are exactly its own.
    EXPECT_LE(store.TaskCount("o", ""), 1);
    EXPECT_TRUE(store.ChargesMatchTasks());
    _PROTOCOL_RESPONSE last;
    store.RemoveTask(h);
    EXPECT_EQ(TASK_RESULT_NONE, store.GetTaskResult(h, last));
    EXPECT_EQ(0u, store.TotalTaskBytes());
}

}  // namespace
