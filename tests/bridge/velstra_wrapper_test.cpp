// The module bridge against the fake native module, loaded through the real dlopen path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "bridge/VelstraWrapper.h"
#include "nv_config.h"
#include "support/Owners.h"
#include "tests/bridge/fake_module/FakeModule.h"

namespace {

bool IsLoaded(const char* path) {
    CDlHandle probe(dlopen(path, RTLD_NOW | RTLD_NOLOAD));
    return probe != nullptr;
}

// Counters of a loaded fake module, read through a reference of the test's own.
FakeModuleStats Stats(const char* path) {
    FakeModuleStats stats{};
    CDlHandle library(dlopen(path, RTLD_NOW | RTLD_NOLOAD));
    if (!library) {
        ADD_FAILURE() << "module not loaded: " << path;
        return stats;
    }
    auto getStats = DlFunction<PFN_FakeModule_GetStats>(library.get(), NV_FAKE_GET_STATS_NAME);
    if (getStats == nullptr) {
        ADD_FAILURE() << "no stats function in " << path;
        return stats;
    }
    getStats(&stats);
    return stats;
}

// Opens a module through the bridge and closes it at the end of the scope.
class OpenedModule {
public:
    OpenedModule(CVelstraWrapperLinux& wrapper)
        : m_wrapper(wrapper), m_handle(wrapper.Open(nullptr)) {}
    ~OpenedModule() { m_wrapper.Close(m_handle); }
    OpenedModule(const OpenedModule&) = delete;
    OpenedModule& operator=(const OpenedModule&) = delete;
    void* Handle() const { return m_handle; }

private:
    CVelstraWrapperLinux& m_wrapper;
    void* m_handle;
};

int LogVia(CVelstraWrapper& wrapper, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = wrapper.LogVarWrite(format, args);
    va_end(args);
    return written;
}

}  // namespace

// --- The process-wide instance -------------------------------------------------------------------

TEST(VelstraWrapper, GetInst_BeforeMain_IsLinuxBridgeOnTheModulePath) {
    auto* wrapper = dynamic_cast<CVelstraWrapperLinux*>(CVelstraWrapper::GetInst());
    ASSERT_NE(wrapper, nullptr);
    EXPECT_EQ(wrapper->ModulePath(), NV_MODULE_PATH);
    EXPECT_EQ(wrapper->Init(), 1);
    wrapper->UnInit();
    EXPECT_EQ(wrapper->ProcessRequest("{\"cmd\":\"x\"}"), "");
}

TEST(VelstraWrapper, LogVarWrite_Format_WritesToStdoutAndCounts) {
    CVelstraWrapperLinux wrapper("/nonexistent/libnone.so");
    testing::internal::CaptureStdout();
    const int written = LogVia(wrapper, "[%s] %d\n", "x", 42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[x] 42\n");
    EXPECT_EQ(written, 7);
}

// --- The interface record ------------------------------------------------------------------------

TEST(SiteInterface, Record_Static_HoldsFixedValuesAndTheThreeFunctions) {
    EXPECT_EQ(g_SiteInterface.nVersion, 1u);
    EXPECT_EQ(g_SiteInterface.nLength, 48u);
    EXPECT_EQ(g_SiteInterface.nCount, 4u);
    EXPECT_EQ(g_SiteInterface.pfnMalloc, &WrapperMalloc);
    EXPECT_EQ(g_SiteInterface.pfnFree, &WrapperFree);
    EXPECT_EQ(g_SiteInterface.pfnSetCallback, &WrapperSetCallback);
    void* block = g_SiteInterface.pfnMalloc(32);
    ASSERT_NE(block, nullptr);
    g_SiteInterface.pfnFree(block);
}

// --- The callback relay --------------------------------------------------------------------------

TEST(CallbackRelay, WrapperSetCallback_CallbackAndReply_ConcatenatesWithoutEscaping) {
    CALLBACK_REPLY out{false, "earlier text that is longer than the short-string buffer"};
    EXPECT_EQ(WrapperSetCallback(&out, nullptr, "cb1", "{\"a\":1}"), 0);
    EXPECT_TRUE(out.bDone);
    EXPECT_EQ(
        out.strText,
        R"({"response":{"id":"setcallback", "tabid":"", "callback":"cb1", "reply":{"a":1}}})");

    // Neither piece is escaped: the module is trusted to pass JSON.
    EXPECT_EQ(WrapperSetCallback(&out, nullptr, "a\"b/c", "[1, \"x/y\"]"), 0);
    EXPECT_EQ(
        out.strText,
        R"({"response":{"id":"setcallback", "tabid":"", "callback":"a"b/c", "reply":[1, "x/y"]}})");
}

TEST(CallbackRelay, WrapperSetCallback_NullOrEmptyReply_WritesEmptyObject) {
    CALLBACK_REPLY out{false, ""};
    EXPECT_EQ(WrapperSetCallback(&out, reinterpret_cast<void*>(0x1), "cb", nullptr), 0);
    EXPECT_EQ(out.strText,
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"cb", "reply":{}}})");
    out = CALLBACK_REPLY{false, ""};
    EXPECT_EQ(WrapperSetCallback(&out, nullptr, "", ""), 0);
    EXPECT_TRUE(out.bDone);
    EXPECT_EQ(out.strText,
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"", "reply":{}}})");
}

TEST(CallbackRelay, WrapperSetCallback_NullCallbackOrOut_LeavesOutUntouchedAndReturnsZero) {
    CALLBACK_REPLY out{false, "keep"};
    EXPECT_EQ(WrapperSetCallback(&out, nullptr, nullptr, "{}"), 0);
    EXPECT_FALSE(out.bDone);
    EXPECT_EQ(out.strText, "keep");
    EXPECT_EQ(WrapperSetCallback(nullptr, nullptr, "cb", "{}"), 0);
}

// --- Open and Close ------------------------------------------------------------------------------

TEST(VelstraWrapperOpenClose, Open_MissingLibrary_LogsDlopenAndReturnsNull) {
    LogCapture cap;
    CVelstraWrapperLinux wrapper("/nonexistent/dir/libVelstraClient.so");
    EXPECT_EQ(wrapper.Open(nullptr), nullptr);
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[Open] ERROR dlopen.\n"});
}

TEST(VelstraWrapperOpenClose, Open_InitSiteMissing_LogsLoadSymbolAndUnloads) {
    LogCapture cap;
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_NO_INIT_PATH);
    EXPECT_EQ(wrapper.Open(nullptr), nullptr);
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[Open] ERROR load symbol\n"});
    EXPECT_FALSE(IsLoaded(NV_FAKE_MODULE_NO_INIT_PATH));
}

TEST(VelstraWrapperOpenClose, Open_InitSiteNegative_LogsInitSiteAndUnloads) {
    LogCapture cap;
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_INIT_FAIL_PATH);
    EXPECT_EQ(wrapper.Open(nullptr), nullptr);
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[Open] ERROR InitSite\n"});
    EXPECT_FALSE(IsLoaded(NV_FAKE_MODULE_INIT_FAIL_PATH));
}

TEST(VelstraWrapperOpenClose, Open_GoodModule_HandsTheStaticRecordWithoutLog) {
    LogCapture cap;
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_PATH);
    OpenedModule opened(wrapper);
    ASSERT_NE(opened.Handle(), nullptr);
    const FakeModuleStats stats = Stats(NV_FAKE_MODULE_PATH);
    EXPECT_EQ(stats.bSiteOk, 1);
    EXPECT_EQ(stats.pLastSite, static_cast<const void*>(&g_SiteInterface));
    EXPECT_TRUE(cap.Lines().empty());
}

TEST(VelstraWrapperOpenClose, OpenClose_TwoSessions_TwoInitAndTwoUninitCalls) {
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_PATH);
    // The test's own reference keeps the counters alive across the bridge's dlclose calls.
    CDlHandle keep(dlopen(NV_FAKE_MODULE_PATH, RTLD_NOW));
    ASSERT_NE(keep, nullptr);
    const FakeModuleStats before = Stats(NV_FAKE_MODULE_PATH);

    void* first = wrapper.Open(nullptr);
    void* second = wrapper.Open(nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first, second);  // the loader hands out the same library with another reference
    EXPECT_EQ(Stats(NV_FAKE_MODULE_PATH).nInitCalls, before.nInitCalls + 2);
    EXPECT_EQ(Stats(NV_FAKE_MODULE_PATH).nUninitCalls, before.nUninitCalls);

    wrapper.Close(first);
    EXPECT_EQ(Stats(NV_FAKE_MODULE_PATH).nUninitCalls, before.nUninitCalls + 1);
    wrapper.Close(second);
    EXPECT_EQ(Stats(NV_FAKE_MODULE_PATH).nUninitCalls, before.nUninitCalls + 2);
}

TEST(VelstraWrapperOpenClose, Close_EachCall_DropsOneReference) {
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_PATH);
    ASSERT_FALSE(IsLoaded(NV_FAKE_MODULE_PATH)) << "another test left a reference behind";
    void* first = wrapper.Open(nullptr);
    void* second = wrapper.Open(nullptr);
    ASSERT_NE(first, nullptr);
    wrapper.Close(first);
    EXPECT_TRUE(IsLoaded(NV_FAKE_MODULE_PATH));
    wrapper.Close(second);
    EXPECT_FALSE(IsLoaded(NV_FAKE_MODULE_PATH));
}

TEST(VelstraWrapperOpenClose, Close_UnInitSiteMissing_LogsLoadSymbolAndStillUnloads) {
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_NO_UNINIT_PATH);
    void* handle = wrapper.Open(nullptr);
    ASSERT_NE(handle, nullptr);
    LogCapture cap;
    wrapper.Close(handle);
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[Close] ERROR load symbol\n"});
    EXPECT_FALSE(IsLoaded(NV_FAKE_MODULE_NO_UNINIT_PATH));
}

TEST(VelstraWrapperOpenClose, Close_NullHandle_DoesNothing) {
    LogCapture cap;
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_PATH);
    wrapper.Close(nullptr);
    EXPECT_TRUE(cap.Lines().empty());
}

// --- GetFunc -------------------------------------------------------------------------------------

class VelstraWrapperGetFunc : public testing::Test {
protected:
    CVelstraWrapperLinux m_wrapper{NV_FAKE_MODULE_PATH};
    OpenedModule m_module{m_wrapper};
};

TEST_F(VelstraWrapperGetFunc, GetFunc_Request_ReturnsModuleReplyForTheUnchangedText) {
    ASSERT_NE(m_module.Handle(), nullptr);
    const std::string request =
        "{\"id\":\"7\", \"origin\":\"https://a.example/x\", \"t\":\"\xc3\xa9\\u0001\"}";
    EXPECT_EQ(m_wrapper.GetFunc(request.c_str(), m_module.Handle()), "echo:" + request);
}

TEST_F(VelstraWrapperGetFunc, GetFunc_NullRequestOrHandle_EmptyWithoutCallOrLog) {
    ASSERT_NE(m_module.Handle(), nullptr);
    LogCapture cap;
    const long invokes = Stats(NV_FAKE_MODULE_PATH).nInvokeCalls;
    EXPECT_EQ(m_wrapper.GetFunc(nullptr, m_module.Handle()), "");
    EXPECT_EQ(m_wrapper.GetFunc("{}", nullptr), "");
    EXPECT_EQ(Stats(NV_FAKE_MODULE_PATH).nInvokeCalls, invokes);
    EXPECT_TRUE(cap.Lines().empty());
}

TEST_F(VelstraWrapperGetFunc, GetFunc_NullReply_LogsInvokeSiteAndGivesEmpty) {
    LogCapture cap;
    EXPECT_EQ(m_wrapper.GetFunc("{\"s\":\"fake:null\"}", m_module.Handle()), "");
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[GetFunc] ERROR InvokeSite\n"});
}

TEST_F(VelstraWrapperGetFunc, GetFunc_EmptyReply_EmptyWithoutLog) {
    LogCapture cap;
    EXPECT_EQ(m_wrapper.GetFunc("fake:empty", m_module.Handle()), "");
    EXPECT_TRUE(cap.Lines().empty());
}

TEST_F(VelstraWrapperGetFunc, GetFunc_ModuleCallsRelay_ReturnsRelayText) {
    EXPECT_EQ(m_wrapper.GetFunc("fake:relay=cb1;[1,2]", m_module.Handle()),
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"cb1", "reply":[1,2]}})");
    EXPECT_EQ(m_wrapper.GetFunc("{\"s\":\"fake:relay=onEvent\"}", m_module.Handle()),
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"onEvent", "reply":{}}})");
    // The relay takes no lock, so the module may call it from its own thread during the call.
    EXPECT_EQ(m_wrapper.GetFunc("fake:relaythread=cb2;7", m_module.Handle()),
              R"({"response":{"id":"setcallback", "tabid":"", "callback":"cb2", "reply":7}})");
}

TEST(VelstraWrapperGetFuncVariants, GetFunc_InvokeSiteMissing_LogsLoadSymbolAndGivesEmpty) {
    CVelstraWrapperLinux wrapper(NV_FAKE_MODULE_NO_INVOKE_PATH);
    OpenedModule opened(wrapper);
    ASSERT_NE(opened.Handle(), nullptr);
    LogCapture cap;
    EXPECT_EQ(wrapper.GetFunc("{}", opened.Handle()), "");
    EXPECT_EQ(cap.Lines(), std::vector<std::string>{"[GetFunc] ERROR load symbol\n"});
}

TEST_F(VelstraWrapperGetFunc, GetFunc_ManyThreads_ModuleCallsNeverOverlap) {
    ASSERT_NE(m_module.Handle(), nullptr);
    constexpr int kThreads = 8;
    constexpr int kCallsPerThread = 6;
    std::atomic<int> wrongReplies{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                // Each call sleeps inside the module, so unserialised calls would surely overlap.
                const std::string request =
                    "fake:sleep=3 call-" + std::to_string(t) + "-" + std::to_string(i);
                if (m_wrapper.GetFunc(request.c_str(), m_module.Handle()) != "echo:" + request)
                    ++wrongReplies;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrongReplies.load(), 0);
    const FakeModuleStats stats = Stats(NV_FAKE_MODULE_PATH);
    EXPECT_EQ(stats.nMaxActive, 1);
    EXPECT_GE(stats.nInvokeCalls, kThreads * kCallsPerThread);
}
