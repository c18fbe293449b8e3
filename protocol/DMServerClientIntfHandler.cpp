// Reply builder, version report and the clean-up thread of a client interface's task store.
#include "protocol/DMServerClientIntfHandler.h"

#include <system_error>

#include "nv_config.h"
#include "support/DM_Json.h"

std::string GetLocalServerVersion() {
    return NV_LOCAL_SERVER_VERSION;
}

std::string GetVelstraVersion() {
    return NV_PRODUCT_VERSION;
}

std::string GetVelstraClientVersion(const char* /*name*/) {
    return "3.3.2.25";
}

CDMServerClientIntfHandler::CDMServerClientIntfHandler(std::chrono::milliseconds cleanupWait)
    : m_cleanupWait(cleanupWait) {
    // The thread is ours to join, so it is a std::thread rather than a detached server thread: a
    // detached thread could still be inside the store while the store is being destroyed. If it
    // cannot be started the handler works without clean-up.
    try {
        m_cleanupThread = std::thread(&CDMServerClientIntfHandler::CleanupGarbageSessions_ThreadCB,
                                      static_cast<void*>(this));
    } catch (const std::system_error&) {
    }
}

CDMServerClientIntfHandler::~CDMServerClientIntfHandler() {
    {
        // Set under the wait's mutex so that the thread cannot miss the notification between its
        // look at the flag and its wait.
        std::lock_guard<std::mutex> lock(m_cleanupMutex);
        m_bStop.store(1);
    }
    m_cleanupCv.notify_all();
    // Joined, not polled: the thread never touches the store after this returns.
    if (m_cleanupThread.joinable())
        m_cleanupThread.join();
}

std::string CDMServerClientIntfHandler::MakeResponse(const _PROTOCOL_HEADER& header,
                                                     const _PROTOCOL_RESPONSE& response) const {
    // Written as text in json-c's spaced form, byte for byte what a json-c tree of these members
    // serialises to, without building one per request. Member order is the order pages rely on:
    // the version members, when present, come before "response".
    const bool bVersions = !header.init.empty() && header.init == "get_versions";
    const std::string daemonVersion = bVersions ? GetLocalServerVersion() : std::string();
    const std::string productVersion = bVersions ? GetVelstraVersion() : std::string();
    const std::string moduleVersion =
        bVersions ? GetVelstraClientVersion(header.m.c_str()) : std::string();

    // Sized up front (structure, keys and every escaped value), so the text is never moved and no
    // partial copy of the reply is left behind in a released buffer.
    std::size_t size =
        160 + JsonStringSize(header.id.c_str()) + JsonStringSize(header.tabid.c_str()) +
        JsonStringSize(header.callback.c_str()) + JsonStringSize(response.status.c_str()) +
        JsonStringSize(response.reply.c_str());
    if (bVersions)
        size += 80 + JsonStringSize(daemonVersion.c_str()) +
                JsonStringSize(productVersion.c_str()) + JsonStringSize(header.m.c_str()) +
                JsonStringSize(moduleVersion.c_str());
    std::string text;
    text.reserve(size);

    CJsonObjectWriter root(text);
    if (bVersions) {
        root.String("daemon", daemonVersion);
        root.String("ex", productVersion);
        root.Key("m");
        CJsonObjectWriter module(text);
        module.String("name", header.m);
        module.String("version", moduleVersion);
        module.End();
    }
    root.Key("response");
    CJsonObjectWriter resp(text);
    resp.String("id", header.id);
    resp.String("tabid", header.tabid);
    resp.String("callback", header.callback);
    resp.String("status", response.status);
    resp.Key("reply");
    CJsonObjectWriter outerReply(text);
    outerReply.Key("reply");
    CJsonObjectWriter innerReply(text);
    innerReply.String("status", std::string());
    innerReply.String("reply", response.reply);
    innerReply.End();
    outerReply.End();
    resp.End();
    root.End();
    return text;
}

bool CDMServerClientIntfHandler::WaitOnePeriod() {
    std::unique_lock<std::mutex> lock(m_cleanupMutex);
    m_cleanupCv.wait_for(lock, m_cleanupWait, [this] { return m_bStop.load() == 1; });
    return m_bStop.load() != 1;
}

void CDMServerClientIntfHandler::CleanupGarbageSessions() {
    WaitOnePeriod();
    while (m_bStop.load() != 1) {
        WaitOnePeriod();
        // A stop that arrives during this wait still lets this one pass run.
        CHTTPTaskManager::CleanUp_OldSessions();
    }
}

void* CDMServerClientIntfHandler::CleanupGarbageSessions_ThreadCB(void* handler) {
    if (handler == nullptr)
        return nullptr;
    auto* self = static_cast<CDMServerClientIntfHandler*>(handler);
    self->m_nRunning.store(1);
    // Nothing thrown may leave a thread's entry (it would end the process).
    try {
        self->CleanupGarbageSessions();
    } catch (...) {
    }
    self->m_nRunning.store(0);
    return nullptr;
}
