// The fake native module for tests: a real shared library loaded through the daemon's real dlopen
// path, scripted by the request text it receives and checking the interface record it is handed.
//
// Request language. The module scans the whole request text for directives "fake:<word>" or
// "fake:<word>=<argument>"; an argument ends at a blank, a double quote, a backslash or the end of
// the text, so directives can sit inside any JSON string member, e.g.
//   {"id":"1","tabid":"t","script":"fake:sleep=300 fake:null"}
// Directives (several may be combined; the reply is chosen in the order listed after sleep):
//   fake:sleep=<ms>          wait <ms> milliseconds (at most 600000) before replying
//   fake:null                reply null (the daemon logs the failed call and gives "")
//   fake:empty               reply with an empty text
//   fake:relay=<cb>[;<ev>]   call the callback relay with callback <cb> and reply text <ev> (none
//                            when ";<ev>" is absent) and reply with the text the relay formatted
//                            ("relay:not-done" when the relay did not set bDone)
//   fake:relaythread=<cb>[;<ev>]  the same, but the relay is called from a thread of the module
//   fake:stats               reply "init=<n> invoke=<n> uninit=<n> active=<n> maxactive=<n> site=<ok|bad>"
//                            (counts since load; this call itself is counted in invoke and active)
//   fake:throw               let std::bad_alloc out of InvokeSite_external, into the bridge (a
//                            module that leaks an exception, or a bridge that runs out of memory)
//   (none of the above)      reply "echo:" followed by the request text, unchanged
//
// InitSite_external checks the record: version 1, length 48, count 4, non-null functions, an
// allocator that hands out memory, and the same record address on every call. A record that fails
// makes it return -2 (and "site=bad" in the stats). Replies are allocated with the record's
// allocator, as the daemon requires.
//
// Variants of this source, built as separate libraries by compile definitions:
//   FAKE_OMIT_INIT, FAKE_OMIT_INVOKE, FAKE_OMIT_UNINIT  leave that entry point out
//   FAKE_INIT_RESULT=<n>                               InitSite_external returns n for a good record
#include "tests/bridge/fake_module/FakeModule.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "moduleapi/SiteInterface.h"

#ifndef FAKE_INIT_RESULT
#define FAKE_INIT_RESULT 0
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

// Some variants leave entry points out, and with them the only users of some helpers.
namespace {

constexpr long kMaxSleepMs = 600000;

std::atomic<SITE_INTERFACE*> g_site{nullptr};
std::atomic<bool> g_siteBad{false};
std::atomic<long> g_initCalls{0};
std::atomic<long> g_invokeCalls{0};
std::atomic<long> g_uninitCalls{0};
std::atomic<long> g_active{0};
std::atomic<long> g_maxActive{0};

// Finds directive `word` and gives its argument (empty when it has none).
[[maybe_unused]] bool FindDirective(const std::string& text, const std::string& word,
                                    std::string& argument) {
    const std::string key = "fake:" + word;
    for (std::string::size_type pos = text.find(key); pos != std::string::npos;
         pos = text.find(key, pos + 1)) {
        const std::string::size_type end = pos + key.size();
        if (end < text.size() &&
            (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) {
            continue;  // a longer word that starts with this one
        }
        argument.clear();
        if (end < text.size() && text[end] == '=') {
            const std::string::size_type stop = text.find_first_of(" \t\r\n\"\\", end + 1);
            argument = text.substr(end + 1,
                                   stop == std::string::npos ? std::string::npos : stop - end - 1);
        }
        return true;
    }
    return false;
}

[[maybe_unused]] bool SiteLooksRight(SITE_INTERFACE* site) {
    if (site == nullptr || site->nVersion != kSiteInterfaceVersion ||
        site->nLength != kSiteInterfaceLength || site->nCount != kSiteInterfaceCount ||
        site->pfnMalloc == nullptr || site->pfnFree == nullptr || site->pfnSetCallback == nullptr) {
        return false;
    }
    void* probe = site->pfnMalloc(16);
    if (probe == nullptr)
        return false;
    site->pfnFree(probe);
    SITE_INTERFACE* earlier = g_site.load();
    return earlier == nullptr || earlier == site;
}

[[maybe_unused]] char* ForDaemon(const std::string& text) {
    SITE_INTERFACE* site = g_site.load();
    auto* out = static_cast<char*>(site->pfnMalloc(text.size() + 1));
    if (out != nullptr)
        std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

[[maybe_unused]] std::string CallRelay(const std::string& argument, bool fromOwnThread) {
    const std::string::size_type semicolon = argument.find(';');
    const std::string callback = argument.substr(0, semicolon);
    const bool hasEvent = semicolon != std::string::npos;
    const std::string event = hasEvent ? argument.substr(semicolon + 1) : std::string();
    CALLBACK_REPLY out{false, std::string()};
    auto call = [&] {
        g_site.load()->pfnSetCallback(&out, nullptr, callback.c_str(),
                                      hasEvent ? event.c_str() : nullptr);
    };
    if (fromOwnThread) {
        std::thread relayThread(call);
        relayThread.join();
    } else {
        call();
    }
    return out.bDone ? out.strText : std::string("relay:not-done");
}

class ActiveCall {
public:
    ActiveCall() {
        const long now = ++g_active;
        long seen = g_maxActive.load();
        while (now > seen && !g_maxActive.compare_exchange_weak(seen, now)) {
        }
    }
    ~ActiveCall() { --g_active; }
    ActiveCall(const ActiveCall&) = delete;
    ActiveCall& operator=(const ActiveCall&) = delete;
};

}  // namespace

#ifndef FAKE_OMIT_INIT
FAKE_EXPORT int InitSite_external(SITE_INTERFACE* site) {
    ++g_initCalls;
    if (!SiteLooksRight(site)) {
        g_siteBad = true;
        return -2;
    }
    g_site.store(site);
    return FAKE_INIT_RESULT;
}
#endif

#ifndef FAKE_OMIT_INVOKE
FAKE_EXPORT char* InvokeSite_external(const char* request) {
    bool throwOut = false;
    try {
        ActiveCall active;
        ++g_invokeCalls;
        if (request == nullptr || g_site.load() == nullptr)
            return nullptr;
        const std::string text(request);
        std::string argument;
        if (FindDirective(text, "sleep", argument)) {
            const long ms = std::clamp(std::strtol(argument.c_str(), nullptr, 10), 0L, kMaxSleepMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
        if (FindDirective(text, "throw", argument)) {
            throwOut = true;
            throw std::bad_alloc();
        }
        if (FindDirective(text, "null", argument))
            return nullptr;
        if (FindDirective(text, "empty", argument))
            return ForDaemon(std::string());
        if (FindDirective(text, "relay", argument))
            return ForDaemon(CallRelay(argument, /*fromOwnThread=*/false));
        if (FindDirective(text, "relaythread", argument))
            return ForDaemon(CallRelay(argument, /*fromOwnThread=*/true));
        if (FindDirective(text, "stats", argument)) {
            const std::string stats = "init=" + std::to_string(g_initCalls.load()) +
                                      " invoke=" + std::to_string(g_invokeCalls.load()) +
                                      " uninit=" + std::to_string(g_uninitCalls.load()) +
                                      " active=" + std::to_string(g_active.load()) +
                                      " maxactive=" + std::to_string(g_maxActive.load()) +
                                      " site=" + (g_siteBad.load() ? "bad" : "ok");
            return ForDaemon(stats);
        }
        return ForDaemon("echo:" + text);
    } catch (...) {
        if (throwOut)
            throw;  // asked for: out into the bridge
        return nullptr;
    }
}
#endif

#ifndef FAKE_OMIT_UNINIT
FAKE_EXPORT int UnInitSite_external() {
    ++g_uninitCalls;
    return 0;
}
#endif

FAKE_EXPORT void FakeModule_GetStats(FakeModuleStats* out) {
    if (out == nullptr)
        return;
    out->nInitCalls = g_initCalls.load();
    out->nInvokeCalls = g_invokeCalls.load();
    out->nUninitCalls = g_uninitCalls.load();
    out->nActive = g_active.load();
    out->nMaxActive = g_maxActive.load();
    out->bSiteOk = g_siteBad.load() ? 0 : 1;
    out->pLastSite = g_site.load();
}
