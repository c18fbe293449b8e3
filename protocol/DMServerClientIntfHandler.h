// The common base of the HTTP and WebSocket client interfaces: a task store of its own, the thread
// that drops stale sessions from it, the reply builder and the version report.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tasks/HTTPTaskManager.h"

// Version numbers reported to a get_versions request.
std::string GetLocalServerVersion();                    // this daemon
std::string GetVelstraVersion();                        // the product
std::string GetVelstraClientVersion(const char* name);  // the client module, whatever its name

// Each handler object owns one task store (its base) and one clean-up thread, started by the
// constructor and stopped and joined by the destructor; the request handler owns one HTTP and one
// WebSocket handler, so the daemon runs two of each. ProcessRequest and MakeResponse run on the
// server's worker threads, several at once; the store serialises itself with its own lock, and the
// clean-up thread reaches the store only through CleanUp_OldSessions. m_cleanupMutex guards
// nothing but the wait of the clean-up thread.
class CDMServerClientIntfHandler : public CHTTPTaskManager {
public:
    // The clean-up thread's wait: the first pass comes two waits after construction, then one pass
    // after each further wait.
    static constexpr std::chrono::milliseconds kCleanupWait{60 * 1000};

    // cleanupWait: the length of one wait (tests shorten it; the daemon uses kCleanupWait).
    explicit CDMServerClientIntfHandler(std::chrono::milliseconds cleanupWait = kCleanupWait);
    // Stops the clean-up thread (noticed at once; a pass already under way is finished) and joins
    // it before the store is destroyed.
    ~CDMServerClientIntfHandler() override;

    // request: the JSON text of one request. pageOrigin: the value of the Origin header of the
    // request (of the WebSocket handshake, for a frame), or null when it had none; the request
    // reaches only sessions and tasks of requests with the same header. reply: receives the JSON
    // reply text.
    virtual int ProcessRequest(const std::string& request, const char* pageOrigin,
                               std::string& reply) = 0;
    // The same for a request without an Origin header.
    int ProcessRequest(const std::string& request, std::string& reply) {
        return ProcessRequest(request, nullptr, reply);
    }

    // The JSON reply text for a request header and its outcome. Uses only its arguments.
    std::string MakeResponse(const _PROTOCOL_HEADER& header,
                             const _PROTOCOL_RESPONSE& response) const;

    // The clean-up thread's loop, and its entry (a null argument returns at once).
    void CleanupGarbageSessions();
    static void* CleanupGarbageSessions_ThreadCB(void* handler);

    // Whether the clean-up thread is inside its loop (for tests and diagnostics).
    bool IsCleanupRunning() const { return m_nRunning.load() == 1; }

private:
    // Waits one period or until the stop flag is set. False when stopping.
    bool WaitOnePeriod();

    std::atomic<uint8_t> m_bStop{0};
    std::atomic<int32_t> m_nRunning{0};
    const std::chrono::milliseconds m_cleanupWait;
    std::mutex m_cleanupMutex;
    std::condition_variable m_cleanupCv;
    std::thread m_cleanupThread;
};
