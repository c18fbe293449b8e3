// Mutex and scoped lock.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/VexMutex.h"

TEST(VexAutoLock, NullMutex_LocksAndUnlocksNothing) {
    { CVexAutoLock lock(nullptr); }
    SUCCEED();
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
