// The sample native module through the real bridge: its reply, its request members, its record
// checks, and the serialisation of module calls it makes visible.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "bridge/VelstraWrapper.h"
#include "nv_config.h"
#include "support/DM_Json.h"
#include "support/Owners.h"

namespace {

bool IsLoaded(const char* path) {
    CDlHandle probe(dlopen(path, RTLD_NOW | RTLD_NOLOAD));
    return probe != nullptr;
}

// A member of a JSON reply as JSON text, or "<absent>".
std::string Member(const std::string& reply, const std::string& key) {
    CDM_Json json;
    if (json.Parse(reply) != 0)
        return "<not json: " + reply + ">";
    std::string out = "<absent>";
    json.GetValueString(key, out);
    return out;
}

class SampleModule : public testing::Test {
protected:
    void SetUp() override {
        // Counters start from zero only on a fresh load.
        ASSERT_FALSE(IsLoaded(NV_SAMPLE_MODULE_PATH)) << "another test left a reference behind";
        m_handle = m_wrapper.Open(nullptr);
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override { m_wrapper.Close(m_handle); }

    std::string Call(const std::string& request) {
        return m_wrapper.GetFunc(request.c_str(), m_handle);
    }

    CVelstraWrapperLinux m_wrapper{NV_SAMPLE_MODULE_PATH};
    void* m_handle = nullptr;
};

}  // namespace

TEST_F(SampleModule, Invoke_OrdinaryRequest_DescribesRequestAndCounters) {
    const std::string request = R"({"cmd":"sign","origin":"https://a.example/"})";
    EXPECT_EQ(
        Call(request),
        R"({ "module": "sample", "cmd": "sign", "request": "{\"cmd\":\"sign\",\"origin\":\"https:\/\/a.example\/\"}", )"
        R"("init_calls": 1, "invoke_calls": 1, "uninit_calls": 0, "max_concurrent_invokes": 1 })");
    // Any text reaches the module; without a "cmd" member the reply says null.
    const std::string reply = Call("not json at all");
    EXPECT_EQ(Member(reply, "cmd"), "<absent>");
    EXPECT_EQ(Member(reply, "request"), "\"not json at all\"");
    EXPECT_EQ(Member(reply, "invoke_calls"), "2");
}

TEST_F(SampleModule, OpenClose_SecondSession_CountsInitAndUninitPairs) {
    void* second = m_wrapper.Open(nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Member(Call("{}"), "init_calls"), "2");
    m_wrapper.Close(second);
    const std::string reply = Call("{}");
    EXPECT_EQ(Member(reply, "init_calls"), "2");
    EXPECT_EQ(Member(reply, "uninit_calls"), "1");
    EXPECT_TRUE(IsLoaded(NV_SAMPLE_MODULE_PATH));
}

TEST_F(SampleModule, Invoke_ReplyModes_NullLogsAndEmptyDoesNot) {
    LogCapture cap;
    EXPECT_EQ(Call(R"({"reply_mode":"null"})"), "");
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[GetFunc] ERROR InvokeSite\n"});
    cap.Clear();
    EXPECT_EQ(Call(R"({"reply_mode":"empty"})"), "");
    EXPECT_TRUE(cap.Lines().empty());
    EXPECT_EQ(Member(Call(R"({"reply_mode":"other"})"), "module"), "\"sample\"");
}

TEST_F(SampleModule, Invoke_RelayMembers_ReturnsRelayText) {
    EXPECT_EQ(
        Call(R"({"relay_callback":"cb1","relay_event":{"a":[1,"x/y"]}})"),
        R"({"response":{"id":"setcallback", "tabid":"", "callback":"cb1", "reply":{ "a": [ 1, "x\/y" ] }}})");
    EXPECT_EQ(Call(R"({"relay_callback":"onDone"})"),
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"onDone", "reply":{}}})");
}

TEST_F(SampleModule, GetFunc_ManyThreadsWithDelays_ModuleCallsNeverOverlap) {
    constexpr int kThreads = 6;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                const std::string request =
                    R"({"delay_ms":5,"cmd":"c)" + std::to_string(t) + R"("})";
                if (Member(Call(request), "cmd") != "\"c" + std::to_string(t) + "\"")
                    ++bad;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(bad.load(), 0);
    const std::string reply = Call("{}");
    EXPECT_EQ(Member(reply, "invoke_calls"), std::to_string(kThreads * 4 + 1));
    EXPECT_EQ(Member(reply, "max_concurrent_invokes"), "1");
}

TEST(SampleModuleRecord, InitSite_UnexpectedRecord_RefusedWithNegativeResult) {
    CDlHandle library(dlopen(NV_SAMPLE_MODULE_PATH, RTLD_NOW));
    ASSERT_NE(library, nullptr);
    auto initSite = DlFunction<PFN_InitSite_external>(library.get(), NV_INIT_SITE_NAME);
    auto invokeSite = DlFunction<PFN_InvokeSite_external>(library.get(), NV_INVOKE_SITE_NAME);
    auto uninitSite = DlFunction<PFN_UnInitSite_external>(library.get(), NV_UNINIT_SITE_NAME);
    ASSERT_NE(initSite, nullptr);
    ASSERT_NE(invokeSite, nullptr);
    ASSERT_NE(uninitSite, nullptr);

    EXPECT_EQ(invokeSite("{}"), nullptr);  // no allocator yet, so no reply
    EXPECT_LT(initSite(nullptr), 0);
    SITE_INTERFACE record = g_SiteInterface;
    record.nVersion = 2;
    EXPECT_LT(initSite(&record), 0);
    record = g_SiteInterface;
    record.nLength = 40;
    EXPECT_LT(initSite(&record), 0);
    record = g_SiteInterface;
    record.nCount = 3;
    EXPECT_LT(initSite(&record), 0);
    record = g_SiteInterface;
    record.pfnSetCallback = nullptr;
    EXPECT_LT(initSite(&record), 0);

    EXPECT_EQ(initSite(&g_SiteInterface), 0);
    char* reply = invokeSite("{}");
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(Member(reply, "init_calls"), "1");  // refused records were not counted
    WrapperFree(reply);
    uninitSite();
}

TEST(SampleModuleInstall, ProductBridge_StagedModulePath_LoadsTheSample) {
    if (std::string(NV_MODULE_PATH) != NV_SAMPLE_MODULE_PATH) {
        GTEST_SKIP()
            << "the sample is staged at the module path only in test builds (NV_TEST_PATHS=ON)";
    }
    CVelstraWrapper* bridge = CVelstraWrapper::GetInst();
    ASSERT_NE(bridge, nullptr);
    void* handle = bridge->Open(nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Member(bridge->GetFunc("{\"cmd\":\"x\"}", handle), "module"), "\"sample\"");
    bridge->Close(handle);
}
