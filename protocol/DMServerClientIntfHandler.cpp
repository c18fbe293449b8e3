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
    // Member order is the order of addition, and pages rely on it: the version members, when
    // present, come before "response".
    CDM_Json root;
    CDM_Json resp;
    CDM_Json outerReply;
    CDM_Json innerReply;
    CDM_Json module;

    resp.AddObject("id", header.id);
    resp.AddObject("tabid", header.tabid);
    resp.AddObject("callback", header.callback);

    if (!header.init.empty() && header.init == "get_versions") {
        root.AddObject("daemon", GetLocalServerVersion());
        root.AddObject("ex", GetVelstraVersion());
        module.AddObject("name", header.m);
        module.AddObject("version", GetVelstraClientVersion(header.m.c_str()));
        root.AddObject("m", &module);
    }

    resp.AddObject("status", response.status);

    innerReply.AddObject("status", "");
    innerReply.AddObject("reply", response.reply);
    outerReply.AddObject("reply", &innerReply);
    resp.AddObject("reply", &outerReply);

    root.AddObject("response", &resp);
    return root.toString();
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
