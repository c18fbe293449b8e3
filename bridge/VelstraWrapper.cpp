// The native module bridge over the dynamic loader.
#include "bridge/VelstraWrapper.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "nv_config.h"
#include "support/DMLog.h"
#include "support/Owners.h"
#include "support/Wipe.h"

namespace {

// All symbols are resolved at load, and the module's own symbols are preferred over the daemon's
// so that a module carrying its own copies of common libraries keeps using them. The sanitizer
// runtimes abort on RTLD_DEEPBIND (it would bypass their interceptors), so sanitizer builds drop it.
#ifdef NV_SANITIZER_BUILD
constexpr int kModuleOpenFlags = RTLD_NOW;
#else
constexpr int kModuleOpenFlags = RTLD_NOW | RTLD_DEEPBIND;
#endif

// Owns a reply buffer of the module: wiped (it holds reply data) and released with free, which is
// what the module was told to allocate it with.
struct ModuleReplyDeleter {
    void operator()(char* text) const {
        WipeBuffer(text, std::strlen(text));
        WrapperFree(text);
    }
};

const char kRelayHead[] = "{\"response\":{\"id\":\"setcallback\", \"tabid\":\"";
const char kRelayCallback[] = "\", \"callback\":\"";
const char kRelayReply[] = "\", \"reply\":";
const char kRelayEmptyReply[] = "{}";
const char kRelayTail[] = "}}";

// Made once by static initialisation, before main, and deleted at process exit.
CWrapperAutoCreator s_WrapperAutoCreator;

}  // namespace

SITE_INTERFACE g_SiteInterface = {kSiteInterfaceVersion, kSiteInterfaceLength, kSiteInterfaceCount,
                                  &WrapperMalloc,        &WrapperFree,         &WrapperSetCallback};

// Zero before any dynamic initialisation, so GetInst is null until the creator has run.
CVelstraWrapper* CVelstraWrapper::s_pInstance = nullptr;

CVelstraWrapper* CVelstraWrapper::GetInst() {
    return s_pInstance;
}

int CVelstraWrapper::LogVarWrite(const char* /*format*/, va_list /*args*/) {
    return 0;
}

CVelstraWrapperLinux::CVelstraWrapperLinux() : m_strModulePath(NV_MODULE_PATH) {}

CVelstraWrapperLinux::CVelstraWrapperLinux(std::string modulePath)
    : m_strModulePath(std::move(modulePath)) {}

CVelstraWrapperLinux::~CVelstraWrapperLinux() {
    // The library itself is not unloaded here: each handle belongs to the session that opened it.
    CVelstraWrapperLinux::UnInit();
}

int CVelstraWrapperLinux::Init() {
    return 1;
}

void CVelstraWrapperLinux::UnInit() {}

void* CVelstraWrapperLinux::Open(void* /*reserved*/) {
    // Every Open takes a fresh reference: the loader counts them and returns the same library, and
    // each session owns one reference and one InitSite_external/UnInitSite_external pair.
    CDlHandle library(dlopen(m_strModulePath.c_str(), kModuleOpenFlags));
    if (!library) {
        DMlogprint("[%s] ERROR dlopen.\n", "Open");
        return nullptr;
    }
    auto initSite = DlFunction<PFN_InitSite_external>(library.get(), NV_INIT_SITE_NAME);
    if (initSite == nullptr) {
        library.reset();  // unloaded before the line is logged
        DMlogprint("[%s] ERROR load symbol\n", "Open");
        return nullptr;
    }
    if (initSite(&g_SiteInterface) < 0) {
        library.reset();
        DMlogprint("[%s] ERROR InitSite\n", "Open");
        return nullptr;
    }
    return library.release();  // the session owns the reference from here and gives it to Close
}

std::string CVelstraWrapperLinux::GetFunc(const char* request, void* handle) {
    if (request == nullptr || handle == nullptr)
        return std::string();

    // Looked up on every call; the handle may belong to any session. The loader's lookup is
    // thread-safe, so it needs no lock of ours.
    auto invokeSite = DlFunction<PFN_InvokeSite_external>(handle, NV_INVOKE_SITE_NAME);
    if (invokeSite == nullptr) {
        DMlogprint("[%s] ERROR load symbol\n", "GetFunc");
        return std::string();
    }
    std::unique_ptr<char, ModuleReplyDeleter> reply;
    {
        // Held for the module call alone: the module is never entered twice at once. Copying,
        // wiping and freeing its reply needs no lock, so other workers' calls are not kept waiting.
        CVexAutoLock lock(&m_Mutex);
        reply.reset(invokeSite(request));
    }
    if (!reply) {
        DMlogprint("[%s] ERROR InvokeSite\n", "GetFunc");
        return std::string();
    }
    return std::string(reply.get());  // the module's buffer is wiped and freed on the way out
}

void CVelstraWrapperLinux::Close(void* handle) {
    if (handle == nullptr)
        return;
    CDlHandle library(handle);  // unloaded on every path below
    auto uninitSite = DlFunction<PFN_UnInitSite_external>(library.get(), NV_UNINIT_SITE_NAME);
    if (uninitSite != nullptr) {
        uninitSite();
    } else {
        DMlogprint("[%s] ERROR load symbol\n", "Close");
    }
}

std::string CVelstraWrapperLinux::ProcessRequest(const char* /*request*/) {
    return std::string();
}

int CVelstraWrapperLinux::LogVarWrite(const char* format, va_list args) {
    const int written = std::vprintf(format, args);
    std::fflush(stdout);
    return written;
}

CWrapperAutoCreator::CWrapperAutoCreator() {
    if (CVelstraWrapper::s_pInstance == nullptr)
        CVelstraWrapper::s_pInstance = new CVelstraWrapperLinux();
}

CWrapperAutoCreator::~CWrapperAutoCreator() {
    if (CVelstraWrapper::s_pInstance != nullptr) {
        CVelstraWrapper* instance = CVelstraWrapper::s_pInstance;
        CVelstraWrapper::s_pInstance = nullptr;
        delete instance;
    }
}

void* WrapperMalloc(unsigned long size) {
    return std::malloc(size);
}

void WrapperFree(void* ptr) {
    std::free(ptr);
}

int WrapperSetCallback(CALLBACK_REPLY* out, void* /*reserved*/, const char* callback,
                       const char* reply) {
    if (callback == nullptr || out == nullptr)
        return 0;
    // Called by the module, possibly from its own threads: nothing may be thrown back into it.
    try {
        const char* event = (reply != nullptr && reply[0] != '\0') ? reply : kRelayEmptyReply;
        std::string text;
        CScopedWipe wipeText(text);  // the event text may carry reply data
        // Sized up front so that no partial copy is left behind in a released buffer.
        text.reserve(sizeof kRelayHead + sizeof kRelayCallback + std::strlen(callback) +
                     sizeof kRelayReply + std::strlen(event) + sizeof kRelayTail);
        text += kRelayHead;
        text += kRelayCallback;
        text += callback;
        text += kRelayReply;
        text += event;
        text += kRelayTail;
        // The swap cannot fail; the module's earlier text ends up in `text` and is wiped with it.
        out->strText.swap(text);
        out->bDone = true;
        return 0;
    } catch (...) {
        return -1;
    }
}
