// The task store: every request meant for the native module becomes a task, filed in a session
// (one per origin for HTTP, one per origin and tab for WebSocket), processed on the thread that
// received it, and its result handed out, possibly more than once and possibly to a later request.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "support/VexMutex.h"
#include "tasks/ProtocolRecords.h"

// Task status codes.
constexpr int32_t TASK_RUNNING = 100;
constexpr int32_t TASK_DONE = 101;

// Results of CHTTPTaskManager::GetTaskResult.
constexpr int TASK_RESULT_NONE = 0;
constexpr int TASK_RESULT_RUNNING = 1;
constexpr int TASK_RESULT_FINISHED = 2;

// Bounds on the sessions of one store, so that no page can grow the daemon without limit: a page
// (one partition, that is one Origin header) holds at most kMaxSessionsPerPage sessions, and the
// store at most kMaxSessionsPerStore. A request that would need a session past either bound is
// refused (CreateTask gives -1 and logs why); sessions of other pages are never evicted for it.
// A page that names a handful of "origin" members, or has many tabs open over WebSocket, stays far
// below the first bound.
constexpr std::size_t kMaxSessionsPerPage = 1024;
constexpr std::size_t kMaxSessionsPerStore = 4096;
// The keys a new session is filed under (the Origin header, the "origin" member and, over
// WebSocket, the quoted "tabid") are kept as long as the session: each may be at most this long,
// or the request is refused in the same way. Real origins and the page-side client's tab ids are
// far shorter.
constexpr std::size_t kMaxSessionKeyBytes = 1024;
// Bounds on the memory the tasks of one store hold, parked results above all: a task keeps its
// request text and, once done, the module's reply until it is collected, replaced under its key or
// dropped with its session, and requests may be as large as the 64 MiB body cap. A task is charged
// TaskCharge bytes (its texts and a fixed allowance for the objects around them) from its filing
// to its deletion. A request whose task would take its page (partition) past kMaxTaskBytesPerPage,
// or the store past kMaxTaskBytesPerStore, is refused like one past a session bound; nothing of
// another page is given up for it, and collecting or expiry gives the bytes back. The reply is
// charged when the module returns, so a page's last admitted calls may take it past its budget by
// their replies; it is then refused until it collects.
// A page may park three requests at the body cap with replies of the same size (384 MiB), or
// about half a million small results; the page-side client collects every parked copy at once.
constexpr std::size_t kMaxTaskBytesPerPage = std::size_t{512} * 1024 * 1024;
constexpr std::size_t kMaxTaskBytesPerStore = std::size_t{1024} * 1024 * 1024;
// What a task costs beyond its texts: the task object with its header and result records, the
// session map's node and the allocator's headers (measured: about 620 bytes for a task whose texts
// fit the strings' own buffers, and some 16 bytes more for each text that does not).
constexpr std::size_t kTaskBookkeepingBytes = 1024;

// CHTTPTaskManager is the store, and the base of the client-interface handlers, so each handler
// owns one. Keys: (partition, origin) -> session key -> task key (id + "&" + tabid). The partition
// comes from the request's Origin header (MakePagePartition), the origin from its "origin" member.
// The store owns the session maps, the sessions and, through them, the tasks. It is called from the server's worker threads
// (CreateTask, ProcessTask, GetTaskResult, RemoveTask) and from its clean-up thread
// (CleanUp_OldSessions). One non-recursive lock, m_mutex, guards every map, every session and every
// task except a task's status while the task is being processed; no operation takes it twice.
// The store's lock is never held while the bridge's lock is taken: the module call of a task runs
// after the lock has been released. Session creation and deletion open and close the module under
// the store's lock; those bridge calls take no lock of their own.
class CHTTPTaskManager {
public:
    class CHTTPSession;
    class CHTTPTask;

    using SessionMap = std::map<std::string, CHTTPSession*>;
    // (partition, "origin" member) of the requests that made the sessions.
    using OriginKey = std::pair<std::string, std::string>;
    // Ordered as the pairs are, and able to find a key from views of the header's texts, so that a
    // lookup copies neither text (it runs under the store's lock, several times per request).
    struct OriginKeyLess {
        using is_transparent = void;
        using View = std::pair<std::string_view, std::string_view>;
        static View AsView(const OriginKey& key) { return View(key.first, key.second); }
        static const View& AsView(const View& view) { return view; }
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return AsView(a) < AsView(b);
        }
    };
    using OriginMap = std::map<OriginKey, SessionMap*, OriginKeyLess>;

    // The byte budgets are the constants above; tests give smaller ones.
    explicit CHTTPTaskManager(std::size_t maxTaskBytesPerPage = kMaxTaskBytesPerPage,
                              std::size_t maxTaskBytesPerStore = kMaxTaskBytesPerStore);
    // Deletes every task and session still filed; deleting a session closes its module reference.
    // No other thread may use the store any more.
    virtual ~CHTTPTaskManager();
    CHTTPTaskManager(const CHTTPTaskManager&) = delete;
    CHTTPTaskManager& operator=(const CHTTPTaskManager&) = delete;

    // Logs the request and files a new running task for it, replacing (after it has finished) a
    // task already filed under the same keys. 0, or -1 when the task was not filed (a session
    // bound was reached).
    int CreateTask(const _PROTOCOL_HEADER& header, const std::string& request);
    // Files the task under its partition, origin, session and task keys, creating the session map
    // and the session (which opens the module) as needed. The store takes ownership. -1 for null,
    // and -1 (the task deleted, a line logged) when a new session would pass a session bound or
    // have a key longer than kMaxSessionKeyBytes, or the task would pass a byte budget; else 0.
    int InsertTask(CHTTPTask* task);
    // Runs the task filed under the header's keys on the calling thread, outside the store's lock.
    // 1 when there is no such task, else 0.
    int ProcessTask(const _PROTOCOL_HEADER& header);
    // A request's whole road through the store: files a task as CreateTask does, runs it on the
    // calling thread as ProcessTask does, and hands its own result out in the same hold of the lock
    // that publishes it, so no other request with the same keys can come between. With bKeep the
    // task stays filed (parked for a later collection) and its result is copied into response;
    // without, the task is removed and its reply moved into response. TASK_RESULT_FINISHED, or
    // TASK_RESULT_NONE (response untouched) when the store refused the task.
    int RunTask(const _PROTOCOL_HEADER& header, const std::string& request, bool bKeep,
                _PROTOCOL_RESPONSE& response);
    // TASK_RESULT_NONE, TASK_RESULT_RUNNING, or TASK_RESULT_FINISHED with the task's result copied
    // into response (response is untouched otherwise).
    int GetTaskResult(const _PROTOCOL_HEADER& header, _PROTOCOL_RESPONSE& response);
    // As GetTaskResult, and a finished task is removed in the same hold of the lock, so that a
    // task filed under the same keys by another request in the meantime is never the one removed.
    // A running task is left alone (it is not the caller's: the caller's own task has finished).
    int GetTaskResultAndRemove(const _PROTOCOL_HEADER& header, _PROTOCOL_RESPONSE& response);
    // Removes and deletes the task filed under the header's keys, after it has finished. Always 0.
    int RemoveTask(const _PROTOCOL_HEADER& header);
    // The task filed under the header's keys, or null. The caller holds m_mutex, and may use the
    // pointer only while it keeps holding it.
    CHTTPTask* FindTask(const _PROTOCOL_HEADER& header);
    // Deletes expired sessions once their finished tasks are gone; see the .cpp.
    void CleanUp_OldSessions();

    // The wall clock the sessions read (seconds). Tests replace it to place the expiry boundary
    // exactly; null restores time(nullptr).
    using ClockFn = time_t (*)();
    static void SetClock(ClockFn clock);
    static time_t Now();

    // The task key made from a header: id + "&" + tabid.
    static std::string MakeTaskKey(const _PROTOCOL_HEADER& header);
    // The bytes a task is charged while the store holds it: its request and reply texts, the text
    // of its header record, its key in the session's map, and kTaskBookkeepingBytes.
    static std::size_t TaskCharge(const CHTTPTask& task);

protected:
    // CreateTask's work: logs the request and files a new running task; the task, or null when the
    // store refused it. The task stays valid after the lock is gone because it is running.
    CHTTPTask* FileTask(const _PROTOCOL_HEADER& header, const std::string& request);
    // InsertTask's work, giving the filed task (null when refused).
    CHTTPTask* FileOwnedTask(CHTTPTask* task);
    // Publishes a processed task's reply and wakes the threads waiting for a task of the store.
    // Caller holds m_mutex.
    void PublishLocked(CHTTPTask& task, std::string& reply);
    // The session filed under the header's partition, origin and session key, or null. Caller
    // holds m_mutex.
    CHTTPSession* FindSession(const _PROTOCOL_HEADER& header);
    // Counts a deleted session out of the bounds. Caller holds m_mutex.
    void ForgetSession(const std::string& partition);
    // Brings the task's charge up to date with its texts (after its reply was stored), or down to
    // nothing (before it is deleted). Never throws. Caller holds m_mutex.
    void Recharge(CHTTPTask& task);
    void Uncharge(CHTTPTask& task);
    // The tasks filed in a session, by key. Caller holds m_mutex.
    static const std::map<std::string, CHTTPTask*>& TasksOf(const CHTTPSession& session);

    CVexMutex m_mutex;
    OriginMap m_mapOrigin;
    // Sessions filed, per partition and in all; kept with the maps, under m_mutex.
    std::map<std::string, std::size_t> m_mapPageSessions;
    std::size_t m_nSessions = 0;
    // Bytes charged for the tasks filed, per partition and in all, under m_mutex: always the sum
    // of the filed tasks' charges. A partition's entry exists while it has a task filed.
    std::map<std::string, std::size_t> m_mapPageTaskBytes;
    std::size_t m_nTaskBytes = 0;
    const std::size_t m_nMaxTaskBytesPerPage;
    const std::size_t m_nMaxTaskBytesPerStore;

private:
    // Signalled, under m_mutex, whenever a task of this store finishes while threads wait for one.
    CVexCondition m_taskDone;
    // Threads of this store's sessions that wait on m_taskDone, or are about to.
    std::atomic<int> m_nTaskWaiters{0};

    static std::atomic<ClockFn> s_pfnClock;
};

// The tasks of one page, and that page's reference to the native module (opened on creation,
// closed on deletion). Sessions have no lock of their own: every operation runs under the owning
// store's lock. A session that waits for a running task lets go of that lock while it sleeps, so
// the task can finish, and is woken when a task of the store finishes; while it waits it is pinned
// (IsPinned) and the store's clean-up does not delete it.
class CHTTPTaskManager::CHTTPSession {
public:
    // pStore: the owning store, whose lock every caller holds and which is told of every task
    // deleted here; borrowed. Null for a session outside a store (its waits then keep whatever the
    // caller holds).
    explicit CHTTPSession(CHTTPTaskManager* pStore = nullptr);
    // Closes the module reference. Tasks still in the map are not deleted (the store only deletes
    // empty sessions, and deletes leftover tasks itself at shutdown).
    virtual ~CHTTPSession();
    CHTTPSession(const CHTTPSession&) = delete;
    CHTTPSession& operator=(const CHTTPSession&) = delete;

    // True when now is strictly later than the expiry (and then logs both values).
    bool IsOverExpireTime();
    void SetExpireTick(unsigned int seconds);
    void ResetExpireTick();
    time_t GetExpireTick() const { return m_tExpire; }
    int GetCount() const;

    // Files the task under its key, after removing (once finished) any task filed under that key,
    // and extends the session by an hour. Takes ownership. -1 for null, else 0.
    int AddTask(CHTTPTask* task);
    // Removes the task filed under the key made from this task's header (possibly another object).
    int RemoveTask(CHTTPTask* task);
    // Waits while the task under the key runs (store lock released meanwhile, woken when a task of
    // the store finishes), then erases and deletes it. A missing task is not an error. Always 0.
    int RemoveTask(std::string key);
    int RemoveTask(const char* key);
    int RemoveAllFinishedTask();
    CHTTPTask* GetTask(const std::string& key);
    CHTTPTask* GetTask(const char* key);
    bool isExistTask(const std::string& key);
    bool isExistTask(const char* key);

    void SetSessionID(const std::string& id) { m_strSessionID = id; }
    const std::string& GetSessionID() const { return m_strSessionID; }
    void SetHTTPProtocolInterfaceObj(void* obj) { m_pProtocolIntfObj = obj; }
    void* GetHTTPProtocolInterfaceObj() const { return m_pProtocolIntfObj; }
    void* GetModuleHandle() const { return m_hModule; }
    // True while a thread of this session waits for a running task with the store's lock released.
    bool IsPinned() const { return m_nWaiters > 0; }

private:
    friend class CHTTPTaskManager;  // deletes leftover tasks when the store is destroyed

    time_t m_tExpire;
    void* m_pProtocolIntfObj = nullptr;  // opaque; never dereferenced here
    void* m_hModule = nullptr;
    std::string m_strSessionID;
    // Gives the task's bytes back to the store, then deletes it (wiping its texts).
    void DeleteTask(CHTTPTask* task);

    std::map<std::string, CHTTPTask*> m_mapTask;
    CHTTPTaskManager* m_pStore;  // borrowed
    int m_nWaiters = 0;
};

// One module call: a copy of the request's header and text, and the result. The status is the only
// field shared outside the store's lock while the task is processed; it is published with release
// ordering after the reply is stored and read with acquire ordering, so whoever sees TASK_DONE also
// sees the reply. A TASK_RUNNING task is never deleted.
class CHTTPTaskManager::CHTTPTask {
public:
    CHTTPTask(const _PROTOCOL_HEADER& header, const std::string& request, void* handle);
    // Wipes the request text; the header and the result wipe their own text.
    virtual ~CHTTPTask();
    CHTTPTask(const CHTTPTask&) = delete;
    CHTTPTask& operator=(const CHTTPTask&) = delete;

    // Calls the module with the request text and stores its reply; ends in TASK_DONE on every
    // path: a call that throws (the bridge out of memory, a module that lets an exception out)
    // stores an empty reply, as a failed call does, so the key stays usable and the session can
    // expire. 0. (CallModule, then Publish.)
    int ProcessTask();
    // The module's reply to the request text, or "" when the call fails or throws. Never throws;
    // touches no field but reads the request, so the store's lock need not be held.
    std::string CallModule();
    // Stores the reply (taking its text; what is left behind is wiped), then publishes TASK_DONE.
    // Never throws. Nothing of the task may be touched afterwards unless the store's lock is held.
    void Publish(std::string& reply);
    int GetTaskStatus() const { return m_nStatus.load(std::memory_order_acquire); }
    // Copies the result into response when the task is done; returns the status either way.
    int GetTaskResult(_PROTOCOL_RESPONSE& response);
    void SetParentSession(CHTTPSession* session) { m_pParentSession = session; }
    CHTTPSession* GetParentSession() const { return m_pParentSession; }
    const _PROTOCOL_HEADER& GetProtocolHeader() const { return m_header; }
    const std::string& GetRequest() const { return m_strRequest; }
    void SetSessionArg(void* handle) { m_hModule = handle; }
    void* GetSessionArg() const { return m_hModule; }
    // Marks the task running again before the store lets go of its lock to process it, so that
    // nothing deletes it meanwhile.
    void MarkRunning() { m_nStatus.store(TASK_RUNNING, std::memory_order_release); }
    const std::string& GetReply() const { return m_result.reply; }

private:
    friend class CHTTPTaskManager;  // keeps the task's charge

    CHTTPSession* m_pParentSession = nullptr;  // informational; not owned
    std::atomic<int32_t> m_nStatus{TASK_RUNNING};
    _PROTOCOL_HEADER m_header;
    std::string m_strRequest;
    _PROTOCOL_RESPONSE m_result;
    void* m_hModule;
    // Bytes charged to the owning store for this task; under the store's lock.
    std::size_t m_nCharged = 0;
};
