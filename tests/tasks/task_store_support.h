// Helpers for the task store tests: a fake bridge that counts Open/Close and can hold a module
// call, a settable clock, a store that exposes its sessions, and deadline helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/VelstraWrapper.h"
#include "tasks/HTTPTaskManager.h"

// A bridge that answers "reply:" + request. A request containing "hold" stays inside GetFunc until
// Release() is called. With FailOpen set, Open gives null (as a module that cannot be loaded).
class FakeBridge : public CVelstraWrapper {
public:
    int Init() override { return 1; }
    void* Open(void*) override {
        ++m_nOpens;
        return m_bFailOpen ? nullptr : &m_token;
    }
    std::string GetFunc(const char* request, void* handle) override {
        if (request == nullptr || handle == nullptr)
            return "";
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_nInside;
        m_cv.notify_all();
        if (std::strstr(request, "hold") != nullptr) {
            m_cv.wait(lock, [this] { return m_bReleased; });
        }
        --m_nInside;
        ++m_nCalls;
        return std::string("reply:") + request;
    }
    void Close(void* handle) override {
        if (handle != nullptr)
            ++m_nCloses;
    }
    void UnInit() override {}
    std::string ProcessRequest(const char*) override { return ""; }

    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReleased = true;
        m_cv.notify_all();
    }
    // Waits until some call is inside GetFunc; false after the deadline.
    bool WaitInside(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, limit, [this] { return m_nInside > 0; });
    }

    std::atomic<int> m_nOpens{0};
    std::atomic<int> m_nCloses{0};
    std::atomic<int> m_nCalls{0};
    std::atomic<bool> m_bFailOpen{false};

private:
    int m_token = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nInside = 0;
    bool m_bReleased = false;
};

// Puts a bridge in place of the process-wide one for the lifetime of the object.
class BridgeSwap {
public:
    explicit BridgeSwap(CVelstraWrapper* bridge) : m_pPrevious(CVelstraWrapper::s_pInstance) {
        CVelstraWrapper::s_pInstance = bridge;
    }
    ~BridgeSwap() { CVelstraWrapper::s_pInstance = m_pPrevious; }
    BridgeSwap(const BridgeSwap&) = delete;
    BridgeSwap& operator=(const BridgeSwap&) = delete;

private:
    CVelstraWrapper* m_pPrevious;
};

// The sessions' clock, set by the test.
class FakeClock {
public:
    explicit FakeClock(time_t start) {
        s_now.store(start);
        CHTTPTaskManager::SetClock(&FakeClock::Now);
    }
    ~FakeClock() { CHTTPTaskManager::SetClock(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void Set(time_t now) { s_now.store(now); }
    static time_t Now() { return s_now.load(); }

private:
    static inline std::atomic<time_t> s_now{0};
};

// A store whose sessions the test can look at. Every helper takes the store's lock. Origins are
// looked up in the partition of requests without an Origin header unless a partition is given.
// Constructed with byte budgets, it has those instead of the daemon's.
class InspectableStore : public CHTTPTaskManager {
public:
    using CHTTPTaskManager::CHTTPTaskManager;

    size_t OriginCount() {
        CVexAutoLock lock(&m_mutex);
        return m_mapOrigin.size();
    }
    bool HasOrigin(const std::string& origin, const std::string& partition = "") {
        CVexAutoLock lock(&m_mutex);
        return m_mapOrigin.count(OriginKey(partition, origin)) != 0;
    }
    size_t SessionCount(const std::string& origin, const std::string& partition = "") {
        CVexAutoLock lock(&m_mutex);
        auto it = m_mapOrigin.find(OriginKey(partition, origin));
        return it == m_mapOrigin.end() ? 0 : it->second->size();
    }
    // Sessions filed in all, counted by walking the maps.
    size_t TotalSessions() {
        CVexAutoLock lock(&m_mutex);
        size_t count = 0;
        for (const auto& origin : m_mapOrigin)
            count += origin.second->size();
        return count;
    }
    // Bytes charged to the partition's tasks (all partitions: the store's total).
    size_t TaskBytes(const std::string& partition) {
        CVexAutoLock lock(&m_mutex);
        auto it = m_mapPageTaskBytes.find(partition);
        return it == m_mapPageTaskBytes.end() ? 0 : it->second;
    }
    size_t TotalTaskBytes() {
        CVexAutoLock lock(&m_mutex);
        return m_nTaskBytes;
    }
    // True when the bytes charged, per partition and in all, are what the filed tasks' texts make
    // now (every task finished).
    bool ChargesMatchTasks() {
        CVexAutoLock lock(&m_mutex);
        std::map<std::string, size_t> pages;
        size_t total = 0;
        for (const auto& origin : m_mapOrigin)
            for (const auto& session : *origin.second)
                for (const auto& task : TasksOf(*session.second)) {
                    pages[origin.first.first] += TaskCharge(*task.second);
                    total += TaskCharge(*task.second);
                }
        return pages == m_mapPageTaskBytes && total == m_nTaskBytes;
    }
    // Number of tasks in the session, or -1 when there is no such session.
    int TaskCount(const std::string& origin, const std::string& session) {
        CVexAutoLock lock(&m_mutex);
        CHTTPSession* s = SessionLocked(origin, session);
        return s == nullptr ? -1 : s->GetCount();
    }
    time_t Expiry(const std::string& origin, const std::string& session) {
        CVexAutoLock lock(&m_mutex);
        CHTTPSession* s = SessionLocked(origin, session);
        return s == nullptr ? 0 : s->GetExpireTick();
    }
    bool IsPinned(const std::string& origin, const std::string& session) {
        CVexAutoLock lock(&m_mutex);
        CHTTPSession* s = SessionLocked(origin, session);
        return s != nullptr && s->IsPinned();
    }
    // Runs fn(session) under the store's lock; false when there is no such session.
    template <typename Fn>
    bool WithSession(const std::string& origin, const std::string& session, Fn fn) {
        CVexAutoLock lock(&m_mutex);
        CHTTPSession* s = SessionLocked(origin, session);
        if (s == nullptr)
            return false;
        fn(*s);
        return true;
    }

private:
    CHTTPSession* SessionLocked(const std::string& origin, const std::string& session) {
        auto it = m_mapOrigin.find(OriginKey("", origin));
        if (it == m_mapOrigin.end())
            return nullptr;
        auto sit = it->second->find(session);
        return sit == it->second->end() ? nullptr : sit->second;
    }
};

inline _PROTOCOL_HEADER MakeHeader(const std::string& origin, const std::string& id,
                                   const std::string& tabid, const std::string& session = "",
                                   const std::string& partition = "") {
    _PROTOCOL_HEADER h;
    h.partition = partition;
    h.origin = origin;
    h.id = id;
    h.tabid = tabid;
    h.session_id = session;
    return h;
}

// Polls cond until it holds or the deadline passes.
template <typename Cond>
bool Eventually(Cond cond, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Joins a thread, ending the test program if it has not finished by the deadline: a deadlock must
// show as a failure, not as a hung test run.
class DeadlineThread {
public:
    template <typename Fn>
    explicit DeadlineThread(Fn fn)
        : m_thread([this, fn]() mutable {
              fn();
              m_bDone.store(true);
          }) {}
    ~DeadlineThread() {
        if (m_thread.joinable())
            Join();
    }
    DeadlineThread(const DeadlineThread&) = delete;
    DeadlineThread& operator=(const DeadlineThread&) = delete;

    bool Done() const { return m_bDone.load(); }
    void Join(std::chrono::seconds limit = std::chrono::seconds(120)) {
        if (!Eventually([this] { return Done(); }, limit)) {
            std::fprintf(stderr, "deadlock: a thread did not finish within %lld s\n",
                         static_cast<long long>(limit.count()));
            std::abort();
        }
        m_thread.join();
    }

private:
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

// Ends the test program when a test has not finished by the deadline: a deadlock, wherever it
// blocks (the test's own thread included), must show as a failure rather than a hung run.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(180))
        : m_thread([this, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, limit, [this] { return m_bDone; })) {
                  std::fprintf(stderr, "deadlock: the test did not finish within %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::thread m_thread;
};
