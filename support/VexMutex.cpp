// Mutex and scoped lock over POSIX threads.
#include "support/VexMutex.h"

#include <new>

CVexMutex::CVexMutex() : m_pMutex(new (std::nothrow) pthread_mutex_t) {
    // Without memory the object behaves as a null mutex: Lock and Unlock do nothing.
    if (m_pMutex != nullptr)
        pthread_mutex_init(m_pMutex, nullptr);
}

CVexMutex::~CVexMutex() {
    if (m_pMutex != nullptr) {
        pthread_mutex_destroy(m_pMutex);
        delete m_pMutex;
    }
}

void CVexMutex::Lock() {
    if (m_pMutex != nullptr)
        pthread_mutex_lock(m_pMutex);
}

void CVexMutex::Unlock() {
    if (m_pMutex != nullptr)
        pthread_mutex_unlock(m_pMutex);
}

CVexCondition::CVexCondition() {
    pthread_cond_init(&m_cond, nullptr);
}

CVexCondition::~CVexCondition() {
    pthread_cond_destroy(&m_cond);
}

bool CVexCondition::Wait(CVexMutex& mutex) {
    if (mutex.m_pMutex == nullptr)
        return false;
    pthread_cond_wait(&m_cond, mutex.m_pMutex);
    return true;
}

void CVexCondition::NotifyAll() {
    pthread_cond_broadcast(&m_cond);
}

CVexAutoLock::CVexAutoLock(CVexMutex* mutex) : m_pMutex(mutex) {
    if (m_pMutex != nullptr)
        m_pMutex->Lock();
}

CVexAutoLock::~CVexAutoLock() {
    if (m_pMutex != nullptr)
        m_pMutex->Unlock();
}

extern "C" unsigned long GetCurrentThreadId() {
    return static_cast<unsigned long>(pthread_self());
}
