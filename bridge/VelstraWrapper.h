// The native module bridge: loads the client module, calls its three entry points one request at a
// time, and hands it the interface record with the allocator and the callback relay.
#pragma once

#include <cstdarg>
#include <string>

#include "moduleapi/SiteInterface.h"
#include "support/VexMutex.h"

// The process-wide bridge. Callers reach it through GetInst(): main calls Init before the server
// starts and UnInit after it stops; each session of a task store calls Open when it is created and
// Close when it is destroyed, keeping the handle; each task calls GetFunc with the session's
// handle. Abstract so that the task store can be tested against a fake bridge.
class CVelstraWrapper {
public:
    CVelstraWrapper() = default;
    virtual ~CVelstraWrapper() = default;
    CVelstraWrapper(const CVelstraWrapper&) = delete;
    CVelstraWrapper& operator=(const CVelstraWrapper&) = delete;

    virtual int Init() = 0;
    // Loads and initialises the module; the handle, or null on failure. The argument is unused.
    virtual void* Open(void* reserved) = 0;
    // One module call; the module's reply, or "" on any failure.
    virtual std::string GetFunc(const char* request, void* handle) = 0;
    // Releases a handle from Open (null is allowed and does nothing).
    virtual void Close(void* handle) = 0;
    virtual void UnInit() = 0;
    virtual std::string ProcessRequest(const char* request) = 0;
    virtual int LogVarWrite(const char* format, va_list args);

    // The instance made by CWrapperAutoCreator before main runs.
    static CVelstraWrapper* GetInst();

    // The instance pointer. Public so that a test may put a fake bridge in its place for a while;
    // it must put the previous value back, because the creator deletes whatever is here at exit.
    static CVelstraWrapper* s_pInstance;
};

// The Linux bridge over dlopen/dlsym/dlclose. GetFunc holds m_Mutex around the module call, so
// at most one InvokeSite_external runs at a time in the process whatever the number of server
// threads and sessions. Open and Close take no lock: the task store calls them under its own lock,
// and the store's lock is never held while this mutex is taken, so the two are never nested.
class CVelstraWrapperLinux : public CVelstraWrapper {
public:
    // The product's module, NV_MODULE_PATH.
    CVelstraWrapperLinux();
    // Another module file (tests load the fake module through the real loading code this way).
    explicit CVelstraWrapperLinux(std::string modulePath);
    ~CVelstraWrapperLinux() override;

    int Init() override;
    void* Open(void* reserved) override;
    std::string GetFunc(const char* request, void* handle) override;
    void Close(void* handle) override;
    void UnInit() override;
    std::string ProcessRequest(const char* request) override;
    int LogVarWrite(const char* format, va_list args) override;

    // Test seam: the file later Open calls load. Not synchronised; set it before any session
    // exists. The product never calls it.
    void SetModulePath(const std::string& modulePath) { m_strModulePath = modulePath; }
    const std::string& ModulePath() const { return m_strModulePath; }

private:
    CVexMutex m_Mutex;
    std::string m_strModulePath;
};

// Creates the bridge during static initialisation, so that it exists before main, and deletes it
// at process exit.
class CWrapperAutoCreator {
public:
    CWrapperAutoCreator();
    ~CWrapperAutoCreator();
    CWrapperAutoCreator(const CWrapperAutoCreator&) = delete;
    CWrapperAutoCreator& operator=(const CWrapperAutoCreator&) = delete;
};

// The allocator handed to the module: the standard malloc and free.
void* WrapperMalloc(unsigned long size);
void WrapperFree(void* ptr);

// The callback relay. Formats, with no escaping,
//   {"response":{"id":"setcallback", "tabid":"", "callback":"<callback>", "reply":<reply or {}>}}
// into out->strText and sets out->bDone. With a null callback or out it does nothing. Returns 0;
// -1 only when memory ran out (out is then left as it was). Takes no lock: the module may call it
// from inside InvokeSite_external or from any of its own threads.
int WrapperSetCallback(CALLBACK_REPLY* out, void* reserved, const char* callback,
                       const char* reply);

// The record whose address InitSite_external receives; valid for the life of the process.
extern SITE_INTERFACE g_SiteInterface;
