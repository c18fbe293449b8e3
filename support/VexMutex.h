// The daemon's mutex, its scoped lock and the thread number printed in log lines.
#pragma once

#include <pthread.h>

// A normal (non-recursive) POSIX mutex on the heap. A thread that holds it must not lock it again.
class CVexMutex {
public:
    CVexMutex();
    virtual ~CVexMutex();
    CVexMutex(const CVexMutex&) = delete;
    CVexMutex& operator=(const CVexMutex&) = delete;

    void Lock();
    void Unlock();

private:
    friend class CVexCondition;
    pthread_mutex_t* m_pMutex;
};

// A condition variable for waits under a CVexMutex.
class CVexCondition {
public:
    CVexCondition();
    ~CVexCondition();
    CVexCondition(const CVexCondition&) = delete;
    CVexCondition& operator=(const CVexCondition&) = delete;

    // Releases the mutex (held by the caller), sleeps until a NotifyAll (or a spurious wake-up)
    // and takes the mutex again. False, without waiting, when the mutex has no lock behind it; the
    // caller then has to poll.
    bool Wait(CVexMutex& mutex);
    // Wakes every waiter. The caller holds the waiters' mutex, so that none is between its check
    // and its wait.
    void NotifyAll();

private:
    pthread_cond_t m_cond;
};

// Locks the given mutex (may be null) for the lifetime of the object.
class CVexAutoLock {
public:
    explicit CVexAutoLock(CVexMutex* mutex);
    ~CVexAutoLock();
    CVexAutoLock(const CVexAutoLock&) = delete;
    CVexAutoLock& operator=(const CVexAutoLock&) = delete;

private:
    CVexMutex* m_pMutex;
};

extern "C" unsigned long GetCurrentThreadId();
