// The sample native client module: a real module with the three entry points the daemon looks up,
// written as the reference for module authors (see README.md beside this file). It answers every
// request with a JSON text of its own and offers a few request members for tests and demos.
//
// Request members it reads (all optional; every other member is ignored):
//   "delay_ms":       number of milliseconds to wait before replying (at most 60000)
//   "reply_mode":     "null" -> return a null reply; "empty" -> return an empty text
//   "relay_callback": callback name; the module calls the daemon's callback relay with this name and
//                     the JSON text of "relay_event" (when present) and returns the relay's text
//   "relay_event":    any JSON value, passed to the relay as its reply text
// The ordinary reply:
//   { "module": "sample", "cmd": <the request's "cmd" or null>, "request": "<request text>",
//     "init_calls": n, "invoke_calls": n, "uninit_calls": n, "max_concurrent_invokes": n }
// The counters count entry point calls since the library was loaded; max_concurrent_invokes is the
// largest number of InvokeSite_external calls ever seen in progress at once (1 when the daemon
// serialises its calls, as it does).
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "moduleapi/SiteInterface.h"

#define SAMPLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr long kMaxDelayMs = 60000;

// The record handed to InitSite_external; the daemon keeps it valid for the life of the process.
std::atomic<SITE_INTERFACE*> g_site{nullptr};
std::atomic<long> g_initCalls{0};
std::atomic<long> g_invokeCalls{0};
std::atomic<long> g_uninitCalls{0};
std::atomic<long> g_invokesInFlight{0};
std::atomic<long> g_maxInvokesInFlight{0};

struct JsonPut {
    void operator()(json_object* obj) const { json_object_put(obj); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// Counts one call in progress for as long as it lives.
class InvokeInFlight {
public:
    InvokeInFlight() {
        const long now = ++g_invokesInFlight;
        long seen = g_maxInvokesInFlight.load();
        while (now > seen && !g_maxInvokesInFlight.compare_exchange_weak(seen, now)) {
        }
    }
    ~InvokeInFlight() { --g_invokesInFlight; }
    InvokeInFlight(const InvokeInFlight&) = delete;
    InvokeInFlight& operator=(const InvokeInFlight&) = delete;
};

bool SiteLooksRight(const SITE_INTERFACE* site) {
    return site != nullptr && site->nVersion == kSiteInterfaceVersion &&
           site->nLength == kSiteInterfaceLength && site->nCount == kSiteInterfaceCount &&
           site->pfnMalloc != nullptr && site->pfnFree != nullptr &&
           site->pfnSetCallback != nullptr;
}

// Replies must come from the allocator in the record: the daemon releases them with its free.
char* CopyForDaemon(const SITE_INTERFACE* site, const char* text) {
    const std::size_t len = std::strlen(text);
    auto* out = static_cast<char*>(site->pfnMalloc(len + 1));
    if (out != nullptr)
        std::memcpy(out, text, len + 1);
    return out;
}

// borrowed: json_object_object_get adds no reference
json_object* Member(json_object* request, const char* key) {
    if (request == nullptr || !json_object_is_type(request, json_type_object))
        return nullptr;
    return json_object_object_get(request, key);
}

bool MemberIs(json_object* request, const char* key, const char* text) {
    json_object* value = Member(request, key);
    return value != nullptr && json_object_is_type(value, json_type_string) &&
           std::strcmp(json_object_get_string(value), text) == 0;
}

char* Relay(const SITE_INTERFACE* site, json_object* request) {
    json_object* callback = Member(request, "relay_callback");
    json_object* event = Member(request, "relay_event");
    CALLBACK_REPLY out{false, std::string()};
    const char* eventText = event != nullptr ? json_object_to_json_string(event) : nullptr;
    site->pfnSetCallback(&out, nullptr, json_object_get_string(callback), eventText);
    return CopyForDaemon(site, out.bDone ? out.strText.c_str() : "");
}

char* Describe(const SITE_INTERFACE* site, json_object* request, const char* requestText) {
    JsonPtr reply(json_object_new_object());
    if (!reply)
        return nullptr;
    json_object* cmd = Member(request, "cmd");
    json_object_object_add(reply.get(), "module", json_object_new_string("sample"));
    json_object_object_add(reply.get(), "cmd", cmd != nullptr ? json_object_get(cmd) : nullptr);
    json_object_object_add(reply.get(), "request", json_object_new_string(requestText));
    json_object_object_add(reply.get(), "init_calls", json_object_new_int64(g_initCalls.load()));
    json_object_object_add(reply.get(), "invoke_calls",
                           json_object_new_int64(g_invokeCalls.load()));
    json_object_object_add(reply.get(), "uninit_calls",
                           json_object_new_int64(g_uninitCalls.load()));
    json_object_object_add(reply.get(), "max_concurrent_invokes",
                           json_object_new_int64(g_maxInvokesInFlight.load()));
    const char* text = json_object_to_json_string(reply.get());
    return text != nullptr ? CopyForDaemon(site, text) : nullptr;
}

}  // namespace

SAMPLE_EXPORT int InitSite_external(SITE_INTERFACE* site) {
    // Refuse a record this module was not built for rather than call through unknown pointers.
    if (!SiteLooksRight(site))
        return -1;
    g_site.store(site);
    ++g_initCalls;
    return 0;
}

SAMPLE_EXPORT char* InvokeSite_external(const char* request) {
    // No exception may leave a C entry point; a null reply is the documented failure.
    try {
        SITE_INTERFACE* site = g_site.load();
        if (site == nullptr || request == nullptr)
            return nullptr;
        InvokeInFlight inFlight;
        ++g_invokeCalls;

        // Any text is accepted; members are only read from a JSON object.
        JsonPtr parsed(json_tokener_parse(request));

        json_object* delay = Member(parsed.get(), "delay_ms");
        if (delay != nullptr && (json_object_is_type(delay, json_type_int) ||
                                 json_object_is_type(delay, json_type_double))) {
            const long ms =
                std::clamp<long>(static_cast<long>(json_object_get_int64(delay)), 0, kMaxDelayMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
        if (MemberIs(parsed.get(), "reply_mode", "null"))
            return nullptr;
        if (MemberIs(parsed.get(), "reply_mode", "empty"))
            return CopyForDaemon(site, "");
        json_object* callback = Member(parsed.get(), "relay_callback");
        if (callback != nullptr && json_object_is_type(callback, json_type_string))
            return Relay(site, parsed.get());
        return Describe(site, parsed.get(), request);
    } catch (...) {
        return nullptr;
    }
}

SAMPLE_EXPORT int UnInitSite_external() {
    ++g_uninitCalls;
    return 0;
}
