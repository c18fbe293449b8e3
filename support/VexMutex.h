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
    pthread_mutex_t* m_pMutex;
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
