// Helpers for the client-interface tests: the fake native module loaded through the real bridge,
// and reply dissection. The clock and deadline helpers are the task store tests'.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bridge/VelstraWrapper.h"
#include "tasks/HTTPTaskManager.h"
#include "tests/tasks/task_store_support.h"  // FakeClock, Eventually, DeadlineThread, Watchdog
#include "tests/bridge/fake_module/FakeModule.h"

// Puts a real bridge over the fake module in place of the process-wide one, and keeps a reference
// of its own to the module so that the module's counters survive sessions coming and going.
class FakeModuleFixture : public ::testing::Test {
protected:
    struct DlCloser {
        void operator()(void* handle) const {
            if (handle != nullptr)
                dlclose(handle);
        }
    };

    FakeModuleFixture() : m_pPrevious(CVelstraWrapper::s_pInstance) {
        CVelstraWrapper::s_pInstance = &m_bridge;
    }
    ~FakeModuleFixture() override { CVelstraWrapper::s_pInstance = m_pPrevious; }

    void SetUp() override { ASSERT_NE(nullptr, m_module) << dlerror(); }

    FakeModuleStats Stats() {
        FakeModuleStats stats{};
        auto get = reinterpret_cast<PFN_FakeModule_GetStats>(
            dlsym(m_module.get(), NV_FAKE_GET_STATS_NAME));
        if (get != nullptr)
            get(&stats);
        return stats;
    }

    CVelstraWrapperLinux m_bridge{NV_FAKE_MODULE_PATH};
    std::unique_ptr<void, DlCloser> m_module{dlopen(NV_FAKE_MODULE_PATH, RTLD_NOW)};

private:
    CVelstraWrapper* m_pPrevious;
};

// The envelope's "response"."status" (the first "status" member of the text).
inline std::string StatusOf(const std::string& reply) {
    const std::string key = "\"status\": \"";
    const auto start = reply.find(key);
    if (start == std::string::npos)
        return "<none>";
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
        if (c == '"' || c == '\\' || c == '/')
            out += '\\';
        out += c;
    }
    return out;
}
