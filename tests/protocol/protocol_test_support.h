// Helpers for the client-interface tests: the fake native module loaded through the real bridge,
// a settable session clock, reply dissection and deadline helpers.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/VelstraWrapper.h"
#include "tasks/HTTPTaskManager.h"
#include "tests/bridge/fake_module/FakeModule.h"

// Puts a real bridge over the fake module in place of the process-wide one, and keeps a reference
// of its own to the module so that the module's counters survive sessions coming and going.
class FakeModuleFixture : public ::testing::Test {
protected:
    struct DlCloser {
        void operator()(void* handle) const {
            if (handle != nullptr) dlclose(handle);
        }
    };

    FakeModuleFixture() : m_pPrevious(CVelstraWrapper::s_pInstance) {
        CVelstraWrapper::s_pInstance = &m_bridge;
    }
    ~FakeModuleFixture() override { CVelstraWrapper::s_pInstance = m_pPrevious; }

    void SetUp() override { ASSERT_NE(nullptr, m_module) << dlerror(); }

    FakeModuleStats Stats() {
        FakeModuleStats stats{};
        auto get = reinterpret_cast<PFN_FakeModule_GetStats>(dlsym(m_module.get(), NV_FAKE_GET_STATS_NAME));
        if (get != nullptr) get(&stats);
        return stats;
    }

    CVelstraWrapperLinux m_bridge{NV_FAKE_MODULE_PATH};
    std::unique_ptr<void, DlCloser> m_module{dlopen(NV_FAKE_MODULE_PATH, RTLD_NOW)};

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

// The envelope's "response"."status" (the first "status" member of the text).
inline std::string StatusOf(const std::string& reply) {
    const std::string key = "\"status\": \"";
    const auto start = reply.find(key);
    if (start == std::string::npos) return "<none>";
    const auto end = reply.find('"', start + key.size());
    return reply.substr(start + key.size(), end - start - key.size());
}

// The envelope's "response"."reply"."reply"."reply", still in its escaped JSON form.
inline std::string InnerReplyOf(const std::string& reply) {
    const std::string head = "\"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"";
    const std::string tail = "\" } } } }";
    const auto start = reply.find(head);
    if (start == std::string::npos || reply.size() < tail.size() ||
        reply.compare(reply.size() - tail.size(), tail.size(), tail) != 0) {
        return "<malformed>";
    }
    return reply.substr(start + head.size(), reply.size() - tail.size() - start - head.size());
}

// A JSON string's escaped form for the characters the tests use (quote, backslash, slash).
inline std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '/') out += '\\';
        out += c;
    }
    return out;
}

// Polls cond until it holds or the deadline passes.
template <typename Cond>
bool Eventually(Cond cond, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Joins a thread, ending the test program if it has not finished by the deadline: a deadlock must
// show as a failure, not as a hung test run.
class DeadlineThread {
public:
    template <typename Fn>
    explicit DeadlineThread(Fn fn) : m_thread([this, fn]() mutable {
          fn();
          m_bDone.store(true);
      }) {}
    ~DeadlineThread() {
        if (m_thread.joinable()) Join();
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
