// The task store: sessions, tasks, expiry and clean-up.
#include "tasks/HTTPTaskManager.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "bridge/VelstraWrapper.h"
#include "support/DMLog.h"
#include "support/Wipe.h"

namespace {

// A session lives this long after its creation or its last added task.
constexpr time_t kSessionLifetimeSeconds = 3600;
// Poll period while waiting for a running task, for a session outside a store (nothing wakes it).
constexpr useconds_t kRunningPollMicros = 10000;

time_t SystemClock() {
    return time(nullptr);
}

}  // namespace

std::atomic<CHTTPTaskManager::ClockFn> CHTTPTaskManager::s_pfnClock{&SystemClock};

void CHTTPTaskManager::SetClock(ClockFn clock) {
    s_pfnClock.store(clock != nullptr ? clock : &SystemClock);
}

time_t CHTTPTaskManager::Now() {
    return s_pfnClock.load()();
}

std::string CHTTPTaskManager::MakeTaskKey(const _PROTOCOL_HEADER& header) {
    return header.id + "&" + header.tabid;
}

std::size_t CHTTPTaskManager::TaskCharge(const CHTTPTask& task) {
    const _PROTOCOL_HEADER& h = task.GetProtocolHeader();
    // Each header field may be as long as the page made it (a value of the request's JSON, and
    // json-c writes some values longer than they came), so each one is counted.
    const std::size_t headerBytes = h.init.size() + h.id.size() + h.tabid.size() + h.cmd.size() +
                                    h.origin.size() + h.session_id.size() + h.callback.size() +
                                    h.module.size() + h.m.size() + h.use_getresult.size() +
                                    h.partition.size();
    const std::size_t keyBytes = h.id.size() + 1 + h.tabid.size();
    return task.GetRequest().size() + task.GetReply().size() + headerBytes + keyBytes +
           kTaskBookkeepingBytes;
}

// ---------------------------------------------------------------------------------------------
// CHTTPTask

CHTTPTaskManager::CHTTPTask::CHTTPTask(const _PROTOCOL_HEADER& header, const std::string& request,
                                       void* handle)
    : m_header(header), m_strRequest(request), m_hModule(handle) {}

CHTTPTaskManager::CHTTPTask::~CHTTPTask() {
    if (!m_strRequest.empty())
        WipeString(m_strRequest);
}

int CHTTPTaskManager::CHTTPTask::ProcessTask() {
    m_nStatus.store(TASK_RUNNING, std::memory_order_release);
    std::string reply = CallModule();
    Publish(reply);
    return 0;
}

std::string CHTTPTaskManager::CHTTPTask::CallModule() {
    // Runs without the store's lock: the bridge takes its own lock for the module call, and the
    // two locks are never nested.
    CVelstraWrapper* bridge = CVelstraWrapper::GetInst();
    std::string reply;
    // Nothing may keep the task from being published: a task left running would make every later
    // request with its key wait for ever (holding a worker), and would keep its session from
    // expiring. A call that throws ends like a failed one, with an empty reply.
    try {
        if (bridge != nullptr)
            reply = bridge->GetFunc(m_strRequest.c_str(), m_hModule);
    } catch (...) {
        WipeString(reply);
        try {
            DMlogprint("[%s] ERROR module call threw\n", "ProcessTask");
        } catch (...) {
        }
    }
    return reply;  // moved out (no copy left behind to wipe)
}

void CHTTPTaskManager::CHTTPTask::Publish(std::string& reply) {
    WipeString(m_result.reply);
    m_result.reply = std::move(reply);
    WipeString(reply);  // a short reply is copied out of the moved-from buffer, not taken over
    // Published after the reply: whoever reads TASK_DONE (acquire) also sees the reply. A waiting
    // thread may delete the task at once unless the caller holds the store's lock.
    m_nStatus.store(TASK_DONE, std::memory_order_release);
}

int CHTTPTaskManager::CHTTPTask::GetTaskResult(_PROTOCOL_RESPONSE& response) {
    const int status = GetTaskStatus();
    if (status == TASK_DONE)
        response = m_result;
    return status;
}

// ---------------------------------------------------------------------------------------------
// CHTTPSession

CHTTPTaskManager::CHTTPSession::CHTTPSession(CHTTPTaskManager* pStore)
    : m_tExpire(CHTTPTaskManager::Now() + kSessionLifetimeSeconds), m_pStore(pStore) {
    CVelstraWrapper* bridge = CVelstraWrapper::GetInst();
    if (bridge != nullptr)
        m_hModule = bridge->Open(nullptr);
}

CHTTPTaskManager::CHTTPSession::~CHTTPSession() {
    CVelstraWrapper* bridge = CVelstraWrapper::GetInst();
    if (bridge != nullptr)
        bridge->Close(m_hModule);
    m_hModule = nullptr;
}

bool CHTTPTaskManager::CHTTPSession::IsOverExpireTime() {
    const time_t now = CHTTPTaskManager::Now();
    if (difftime(m_tExpire, now) >= 0)
        return false;
    DMlogprint("[%s] %d, %d\n", "IsOverExpireTime", static_cast<int32_t>(m_tExpire),
               static_cast<int32_t>(now));
    return true;
}

void CHTTPTaskManager::CHTTPSession::SetExpireTick(unsigned int seconds) {
    m_tExpire = static_cast<time_t>(seconds);
}

void CHTTPTaskManager::CHTTPSession::ResetExpireTick() {
    m_tExpire = CHTTPTaskManager::Now() + kSessionLifetimeSeconds;
}

int CHTTPTaskManager::CHTTPSession::GetCount() const {
    return static_cast<int>(m_mapTask.size());
}

int CHTTPTaskManager::CHTTPSession::AddTask(CHTTPTask* task) {
    if (task == nullptr)
        return -1;
    // A repeated request with the same id and tabid replaces the earlier task once it has
    // finished. The wait may let go of the store's lock; from here to the end of this function the
    // lock is held without a break, so the key is still free when the task is filed.
    RemoveTask(task);
    const std::string key = MakeTaskKey(task->GetProtocolHeader());
    task->SetSessionArg(m_hModule);
    m_mapTask[key] = task;
    // Adding a task is the only thing that extends a session; collecting results does not.
    ResetExpireTick();
    return 0;
}

int CHTTPTaskManager::CHTTPSession::RemoveTask(CHTTPTask* task) {
    if (task == nullptr)
        return -1;
    RemoveTask(MakeTaskKey(task->GetProtocolHeader()));
    return 0;
}

int CHTTPTaskManager::CHTTPSession::RemoveTask(std::string key) {
    for (;;) {
        // Looked up afresh on every round: while the lock was released the task may have been
        // removed or replaced by another thread.
        auto it = m_mapTask.find(key);
        if (it == m_mapTask.end())
            return 0;
        CHTTPTask* task = it->second;
        // Counted as a waiter before the status is read. Both happen under the store's lock, as do
        // the finishing task's publication and its look at the count, so a task that finishes
        // after this read always finds the count raised and wakes us.
        std::atomic<int>* const storeWaiters =
            m_pStore != nullptr ? &m_pStore->m_nTaskWaiters : nullptr;
        if (storeWaiters != nullptr)
            storeWaiters->fetch_add(1);
        if (task->GetTaskStatus() != TASK_RUNNING) {
            if (storeWaiters != nullptr)
                storeWaiters->fetch_sub(1);
            m_mapTask.erase(it);
            DeleteTask(task);
            return 0;
        }
        // A running task is never deleted: wait for it. The running task may not have been started
        // yet, and starting it needs the store's lock, so the lock is released while we sleep.
        // This session stays pinned meanwhile, so the clean-up cannot delete it under us.
        ++m_nWaiters;
        const bool woken = m_pStore != nullptr && m_pStore->m_taskDone.Wait(m_pStore->m_mutex);
        if (!woken) {
            if (m_pStore != nullptr)
                m_pStore->m_mutex.Unlock();
            usleep(kRunningPollMicros);
            if (m_pStore != nullptr)
                m_pStore->m_mutex.Lock();
        }
        --m_nWaiters;
        if (storeWaiters != nullptr)
            storeWaiters->fetch_sub(1);
    }
}

int CHTTPTaskManager::CHTTPSession::RemoveTask(const char* key) {
    if (key == nullptr)
        return -1;
    return RemoveTask(std::string(key));
}

int CHTTPTaskManager::CHTTPSession::RemoveAllFinishedTask() {
    // Keys first, erasing afterwards, so that the map is not changed while it is walked.
    std::vector<std::string> keys;
    for (const auto& entry : m_mapTask) {
        if (entry.second->GetTaskStatus() == TASK_DONE)
            keys.push_back(entry.first);
    }
    // None of these is running, and under the store's lock none can start, so the removal never
    // waits and never lets go of the lock (the clean-up pass relies on that).
    for (const std::string& key : keys) {
        auto it = m_mapTask.find(key);
        if (it == m_mapTask.end() || it->second->GetTaskStatus() == TASK_RUNNING)
            continue;
        CHTTPTask* task = it->second;
        m_mapTask.erase(it);
        DeleteTask(task);
    }
    return 0;
}

void CHTTPTaskManager::CHTTPSession::DeleteTask(CHTTPTask* task) {
    if (m_pStore != nullptr)
        m_pStore->Uncharge(*task);
    delete task;  // wipes the request text
}

CHTTPTaskManager::CHTTPTask* CHTTPTaskManager::CHTTPSession::GetTask(const std::string& key) {
    auto it = m_mapTask.find(key);
    return it == m_mapTask.end() ? nullptr : it->second;
}

CHTTPTaskManager::CHTTPTask* CHTTPTaskManager::CHTTPSession::GetTask(const char* key) {
    if (key == nullptr)
        return nullptr;
    return GetTask(std::string(key));
}

bool CHTTPTaskManager::CHTTPSession::isExistTask(const std::string& key) {
    return m_mapTask.find(key) != m_mapTask.end();
}

bool CHTTPTaskManager::CHTTPSession::isExistTask(const char* key) {
    if (key == nullptr)
        return false;
    return isExistTask(std::string(key));
}

// ---------------------------------------------------------------------------------------------
// CHTTPTaskManager

CHTTPTaskManager::CHTTPTaskManager(std::size_t maxTaskBytesPerPage,
                                   std::size_t maxTaskBytesPerStore)
    : m_nMaxTaskBytesPerPage(maxTaskBytesPerPage), m_nMaxTaskBytesPerStore(maxTaskBytesPerStore) {}

CHTTPTaskManager::~CHTTPTaskManager() {
    CVexAutoLock lock(&m_mutex);
    for (auto& origin : m_mapOrigin) {
        for (auto& session : *origin.second) {
            CHTTPSession* pSession = session.second;
            // Leftover tasks are deleted here (the session does not delete its tasks). No task is
            // being processed any more: the handlers are destroyed after the server has stopped.
            for (auto& task : pSession->m_mapTask)
                delete task.second;
            pSession->m_mapTask.clear();
            delete pSession;
        }
        delete origin.second;
    }
    m_mapOrigin.clear();
}

int CHTTPTaskManager::CreateTask(const _PROTOCOL_HEADER& header, const std::string& request) {
    return FileTask(header, request) != nullptr ? 0 : -1;
}

CHTTPTaskManager::CHTTPTask* CHTTPTaskManager::FileTask(const _PROTOCOL_HEADER& header,
                                                        const std::string& request) {
    DMlogprint("[%s] Param : %s\n", "CreateTask", request.c_str());
    return FileOwnedTask(new CHTTPTask(header, request, /*handle=*/nullptr));
}

int CHTTPTaskManager::InsertTask(CHTTPTask* task) {
    return FileOwnedTask(task) != nullptr ? 0 : -1;
}

CHTTPTaskManager::CHTTPTask* CHTTPTaskManager::FileOwnedTask(CHTTPTask* task) {
    if (task == nullptr)
        return nullptr;
    std::unique_ptr<CHTTPTask> owned(task);
    CVexAutoLock lock(&m_mutex);
    const _PROTOCOL_HEADER& header = task->GetProtocolHeader();
    const std::string& sessionKey = header.session_id;

    CHTTPSession* session = FindSession(header);
    // Refuses (and logs) a task whose charge would take its page or the store past a byte budget;
    // asked once the session bounds have let the request through.
    const std::size_t charge = TaskCharge(*task);
    auto refuseBytes = [&]() -> bool {
        auto pageIt = m_mapPageTaskBytes.find(header.partition);
        const std::size_t pageBytes = pageIt == m_mapPageTaskBytes.end() ? 0 : pageIt->second;
        const char* bound = nullptr;
        std::size_t limit = 0;
        // Written so that no sum can wrap: charge > limit - held, with held <= limit.
        if (pageBytes > m_nMaxTaskBytesPerPage || charge > m_nMaxTaskBytesPerPage - pageBytes) {
            bound = "of the page ";
            limit = m_nMaxTaskBytesPerPage;
        } else if (m_nTaskBytes > m_nMaxTaskBytesPerStore ||
                   charge > m_nMaxTaskBytesPerStore - m_nTaskBytes) {
            bound = "";
            limit = m_nMaxTaskBytesPerStore;
        }
        if (bound == nullptr)
            return false;
        DMlogprint(
            "[%s] ERROR task memory limit %sreached (%zu bytes), request of %zu bytes "
            "refused : %s\n",
            "InsertTask", bound, limit, charge, DescribePagePartition(header.partition).c_str());
        return true;
    };
    if (session == nullptr) {
        // A new session, within the bounds or not at all: a page past its bound is refused rather
        // than making room by dropping sessions, its own or another page's.
        std::size_t& pageSessions = m_mapPageSessions[header.partition];
        const char* bound = nullptr;
        std::size_t limit = 0;
        if (pageSessions >= kMaxSessionsPerPage) {
            bound = "of the page ";
            limit = kMaxSessionsPerPage;
        } else if (m_nSessions >= kMaxSessionsPerStore) {
            bound = "";
            limit = kMaxSessionsPerStore;
        }
        // The partition is "=" followed by the Origin header, when there is one.
        const std::size_t originHeaderBytes =
            header.partition.empty() ? 0 : header.partition.size() - 1;
        const std::size_t longestKey =
            std::max({originHeaderBytes, header.origin.size(), sessionKey.size()});
        if (bound != nullptr || longestKey > kMaxSessionKeyBytes) {
            if (pageSessions == 0)
                m_mapPageSessions.erase(header.partition);
            if (bound != nullptr) {
                DMlogprint("[%s] ERROR session limit %sreached (%zu), request refused : %s\n",
                           "InsertTask", bound, limit,
                           DescribePagePartition(header.partition).c_str());
            } else {
                // The key itself is not logged: it is as long as the page chose.
                DMlogprint("[%s] ERROR session key of %zu bytes, request refused\n", "InsertTask",
                           longestKey);
            }
            return nullptr;  // the task is deleted with `owned`
        }
        if (refuseBytes()) {
            if (pageSessions == 0)
                m_mapPageSessions.erase(header.partition);
            return nullptr;
        }
        auto originIt = m_mapOrigin.find(OriginKeyLess::View(header.partition, header.origin));
        if (originIt == m_mapOrigin.end()) {
            std::unique_ptr<SessionMap> sessions(new SessionMap());
            originIt =
                m_mapOrigin.emplace(OriginKey(header.partition, header.origin), sessions.get())
                    .first;
            sessions.release();
        }
        std::unique_ptr<CHTTPSession> created(new CHTTPSession(this));  // opens the module
        created->SetSessionID(sessionKey);
        originIt->second->emplace(sessionKey, created.get());
        session = created.release();
        ++pageSessions;
        ++m_nSessions;
    } else if (refuseBytes()) {
        return nullptr;
    }
    // Charged before AddTask, which may let go of the lock: the bytes are the task's from here on,
    // so requests admitted meanwhile see them.
    m_mapPageTaskBytes[header.partition] += charge;
    m_nTaskBytes += charge;
    task->m_nCharged = charge;
    task->SetParentSession(session);
    // AddTask may let go of the lock while it waits for a task it replaces; the session is pinned
    // meanwhile and none of the iterators above is used afterwards.
    session->AddTask(owned.release());
    // Still running (a task is filed running), so nothing deletes it before it is processed.
    return task;
}

CHTTPTaskManager::CHTTPSession* CHTTPTaskManager::FindSession(const _PROTOCOL_HEADER& header) {
    auto originIt = m_mapOrigin.find(OriginKeyLess::View(header.partition, header.origin));
    if (originIt == m_mapOrigin.end())
        return nullptr;
    auto sessionIt = originIt->second->find(header.session_id);
    if (sessionIt == originIt->second->end())
        return nullptr;
    return sessionIt->second;
}

CHTTPTaskManager::CHTTPTask* CHTTPTaskManager::FindTask(const _PROTOCOL_HEADER& header) {
    CHTTPSession* session = FindSession(header);
    return session == nullptr ? nullptr : session->GetTask(MakeTaskKey(header));
}

int CHTTPTaskManager::ProcessTask(const _PROTOCOL_HEADER& header) {
    CHTTPTask* task = nullptr;
    {
        CVexAutoLock lock(&m_mutex);
        task = FindTask(header);
        if (task == nullptr)
            return 1;
        // Marked running before the lock goes, so that nothing deletes the task while the module
        // runs (a task that had finished would otherwise be open to replacement or clean-up).
        task->MarkRunning();
    }
    // The store's lock is never held while the bridge's lock is taken. The task is running, so
    // nothing deletes it until it is published below.
    std::string reply = task->CallModule();
    CVexAutoLock lock(&m_mutex);
    PublishLocked(*task, reply);
    return 0;
}

void CHTTPTaskManager::PublishLocked(CHTTPTask& task, std::string& reply) {
    // The reply is stored and charged in one hold of the lock, so whoever removes the task (which
    // needs the lock and a finished task) gives back exactly what was charged.
    task.Publish(reply);
    Recharge(task);
    // Requests waiting for a running task with the same key sleep on m_taskDone under this lock,
    // so waking them here, after the status is stored, loses none.
    if (m_nTaskWaiters.load() != 0)
        m_taskDone.NotifyAll();
}

int CHTTPTaskManager::RunTask(const _PROTOCOL_HEADER& header, const std::string& request,
                              bool bKeep, _PROTOCOL_RESPONSE& response) {
    CHTTPTask* task = FileTask(header, request);
    if (task == nullptr)
        return TASK_RESULT_NONE;
    // Filed running: nothing deletes or replaces it until it is published below, so it needs no
    // second lookup, and the store's lock is not held while the bridge's lock is taken.
    std::string reply = task->CallModule();
    CVexAutoLock lock(&m_mutex);
    PublishLocked(*task, reply);
    if (bKeep) {
        task->GetTaskResult(response);
        return TASK_RESULT_FINISHED;
    }
    // Finished and still filed under its keys (a replacement waits for the lock we hold), so the
    // removal below neither waits nor lets go of the lock. The reply changes hands without a copy;
    // the task's emptied texts are wiped as it is deleted.
    response = std::move(task->m_result);
    task->GetParentSession()->RemoveTask(MakeTaskKey(header));
    return TASK_RESULT_FINISHED;
}

void CHTTPTaskManager::Recharge(CHTTPTask& task) {
    const std::size_t charge = TaskCharge(task);
    auto pageIt = m_mapPageTaskBytes.find(task.GetProtocolHeader().partition);
    // The entry exists: the task's earlier charge, never 0, is in it. find, not [], so that
    // nothing here allocates or throws.
    if (pageIt != m_mapPageTaskBytes.end())
        pageIt->second = pageIt->second - task.m_nCharged + charge;
    m_nTaskBytes = m_nTaskBytes - task.m_nCharged + charge;
    task.m_nCharged = charge;
}

const std::map<std::string, CHTTPTaskManager::CHTTPTask*>& CHTTPTaskManager::TasksOf(
    const CHTTPSession& session) {
    return session.m_mapTask;
}

void CHTTPTaskManager::Uncharge(CHTTPTask& task) {
    auto pageIt = m_mapPageTaskBytes.find(task.GetProtocolHeader().partition);
    if (pageIt != m_mapPageTaskBytes.end()) {
        pageIt->second -= task.m_nCharged;
        if (pageIt->second == 0)
            m_mapPageTaskBytes.erase(pageIt);
    }
    m_nTaskBytes -= task.m_nCharged;
    task.m_nCharged = 0;
}

int CHTTPTaskManager::GetTaskResult(const _PROTOCOL_HEADER& header, _PROTOCOL_RESPONSE& response) {
    CVexAutoLock lock(&m_mutex);
    CHTTPTask* task = FindTask(header);
    if (task == nullptr)
        return TASK_RESULT_NONE;
    if (task->GetTaskResult(response) == TASK_RUNNING)
        return TASK_RESULT_RUNNING;
    return TASK_RESULT_FINISHED;
}

int CHTTPTaskManager::GetTaskResultAndRemove(const _PROTOCOL_HEADER& header,
                                             _PROTOCOL_RESPONSE& response) {
    CVexAutoLock lock(&m_mutex);
    CHTTPSession* session = FindSession(header);
    if (session == nullptr)
        return TASK_RESULT_NONE;
    const std::string key = MakeTaskKey(header);
    CHTTPTask* task = session->GetTask(key);
    if (task == nullptr)
        return TASK_RESULT_NONE;
    if (task->GetTaskResult(response) == TASK_RUNNING)
        return TASK_RESULT_RUNNING;
    // Finished, so the removal does not wait and the lock is held throughout.
    session->RemoveTask(key);
    return TASK_RESULT_FINISHED;
}

int CHTTPTaskManager::RemoveTask(const _PROTOCOL_HEADER& header) {
    CVexAutoLock lock(&m_mutex);
    CHTTPSession* session = FindSession(header);
    if (session == nullptr)
        return 0;
    // May let go of the lock while the task runs; the session is pinned meanwhile.
    session->RemoveTask(MakeTaskKey(header));
    return 0;
}

void CHTTPTaskManager::CleanUp_OldSessions() {
    CVexAutoLock lock(&m_mutex);
    // Nothing in this pass lets go of the lock, so the maps cannot change under the walks; keys
    // are still collected first and erased afterwards.
    std::vector<OriginKey> emptyOrigins;
    for (auto& origin : m_mapOrigin) {
        SessionMap& sessions = *origin.second;
        std::vector<std::string> expired;
        for (auto& entry : sessions) {
            CHTTPSession* session = entry.second;
            if (!session->IsOverExpireTime())
                continue;
            session->RemoveAllFinishedTask();
            // A session with a thread waiting in it is kept for a later pass.
            if (session->GetCount() == 0 && !session->IsPinned())
                expired.push_back(entry.first);
        }
        for (const std::string& key : expired) {
            DMlogprint("Erase Session : %s\n", key.c_str());
            auto it = sessions.find(key);
            CHTTPSession* session = it->second;
            sessions.erase(it);
            delete session;  // closes its module reference
            ForgetSession(origin.first.first);
        }
        if (sessions.empty())
            emptyOrigins.push_back(origin.first);
    }
    for (const OriginKey& key : emptyOrigins) {
        auto it = m_mapOrigin.find(key);
        SessionMap* sessions = it->second;
        m_mapOrigin.erase(it);
        delete sessions;
    }
}

void CHTTPTaskManager::ForgetSession(const std::string& partition) {
    auto it = m_mapPageSessions.find(partition);
    if (it != m_mapPageSessions.end() && --it->second == 0)
        m_mapPageSessions.erase(it);
    if (m_nSessions > 0)
        --m_nSessions;
}
