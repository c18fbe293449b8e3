// Mutex and scoped lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/VexMutex.h"

TEST(VexAutoLock, NullMutex_LocksAndUnlocksNothing) {
    // Nested null locks on one thread while another thread takes a real mutex and holds it: had a
    // null lock taken anything, the inner one or the real one would wait forever. The worker is
    // detached only if it hangs, so that a failure is reported instead of blocking the test.
    auto real = std::make_shared<CVexMutex>();
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    std::thread worker([real, finished] {
        CVexAutoLock outer(nullptr);
        CVexAutoLock inner(nullptr);
        CVexAutoLock held(real.get());
        finished->set_value();
    });
    const bool bFinished = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (bFinished)
        worker.join();
    else
        worker.detach();
    ASSERT_TRUE(bFinished) << "a null lock blocked";
    // The real mutex was released with its lock: this thread can take it.
    CVexAutoLock again(real.get());
}

TEST(VexAutoLock, LeavingByException_StillUnlocks) {
    CVexMutex mutex;
    try {
        CVexAutoLock lock(&mutex);
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {
    }
    // Another thread can take it, so it was released.
    std::atomic<bool> taken{false};
    std::thread other([&] {
        CVexAutoLock lock(&mutex);
        taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
}

TEST(VexAutoLock, ManyThreads_IncrementsAreNotLost) {
    CVexMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CVexAutoLock lock(&mutex);
                ++counter;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 40000);
}

TEST(GetCurrentThreadId, DiffersBetweenThreads_StableWithinOne) {
    unsigned long mine = GetCurrentThreadId();
    EXPECT_EQ(mine, GetCurrentThreadId());
    unsigned long theirs = 0;
    std::thread other([&] { theirs = GetCurrentThreadId(); });
    other.join();
    EXPECT_NE(mine, theirs);
}
