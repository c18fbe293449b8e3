// Loading of the OpenSSL compatibility libraries, CivetWeb's TLS initialisation and the proof that
// CivetWeb's reads pass the guard.
#include "server/TlsCompat.h"

#include <civetweb.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "nv_config.h"
#include "support/DMLog.h"
#include "support/Owners.h"

namespace {

// libcrypto first: the libssl one depends on the real libcrypto.so.3 as well, but CivetWeb asks for
// "libcrypto.so" before "libssl.so".
const char* const s_szCompatLibs[] = {
    NV_PRIVATE_LIB_DIR "/libcrypto.so",
    NV_PRIVATE_LIB_DIR "/libssl.so",
};
// The name CivetWeb opens its libssl by.
constexpr const char* kCivetWebSslName = "libssl.so";

// Our references to the libraries, held for the life of the process: CivetWeb keeps function
// pointers into them from mg_init_library on. Only the first call of NV_PrepareTls fills them
// (it runs on the starting thread before any server exists).
CDlHandle s_compatHandles[2];

// The guard's controls (see ws_frame_guard.c), found by NV_PrepareTls.
using PFN_SetLimits = void (*)(long long, long long);
using PFN_RequestDone = void (*)();
using PFN_TakeRefusal = int (*)();
std::atomic<PFN_SetLimits> s_setLimits{nullptr};
std::atomic<PFN_RequestDone> s_requestDone{nullptr};
std::atomic<PFN_TakeRefusal> s_takeRefusal{nullptr};
// The limits handed to the guard: the build's, unless a test of the server shortened them.
std::atomic<long long> s_requestTimeoutMs{NV_REQUEST_TIMEOUT_MS};
std::atomic<long long> s_webSocketIdleMs{NV_WS_IDLE_TIMEOUT_MS};

// True when the bytes of the file hold `text` with its terminating NUL (a string of the program).
bool FileHoldsString(const char* path, const char* text) {
    CUniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return false;
    const std::size_t textLen = std::strlen(text) + 1;
    std::string window;
    char chunk[65536];
    bool found = false;
    ssize_t got;
    while (!found && (got = read(fd.Get(), chunk, sizeof(chunk))) > 0) {
        window.append(chunk, static_cast<std::size_t>(got));
        found = window.find(std::string(text, textLen)) != std::string::npos;
        if (window.size() > textLen)
            window.erase(0, window.size() - textLen);
    }
    return found;
}

// Empty when every read CivetWeb makes goes through the guard; otherwise why not.
std::string GuardGap() {
    void* guardLib = s_compatHandles[1].get();
    Dl_info guardInfo{};
    void* guardRead = dlsym(guardLib, "SSL_read");
    if (guardRead == nullptr || dladdr(guardRead, &guardInfo) == 0 ||
        guardInfo.dli_fname == nullptr || std::strcmp(guardInfo.dli_fname, s_szCompatLibs[1]) != 0)
        return std::string("SSL_read of ") + s_szCompatLibs[1] + " is not the guard's";
    for (const char* name : {"SSL_read_ex", "SSL_write", "SSL_pending"}) {
        Dl_info info{};
        void* fn = dlsym(guardLib, name);
        if (fn == nullptr || dladdr(fn, &info) == 0 || info.dli_fbase != guardInfo.dli_fbase)
            return std::string(name) + " of " + s_szCompatLibs[1] + " is not the guard's";
    }
    for (const char* name : {"NV_SetSslLimits", "NV_SslRequestDone", "NV_TakeSslRefusal"}) {
        if (dlsym(guardLib, name) == nullptr)
            return std::string("the guard has no ") + name;
    }

    // CivetWeb opens its libssl by that name, and the name leads to the guard.
    Dl_info civetInfo{};
    auto* startAddress = &mg_start;
    void* startFn = nullptr;
    std::memcpy(&startFn, &startAddress, sizeof(startFn));
    if (dladdr(startFn, &civetInfo) == 0 || civetInfo.dli_fname == nullptr)
        return "CivetWeb's library can not be found";
    if (!FileHoldsString(civetInfo.dli_fname, kCivetWebSslName))
        return std::string(civetInfo.dli_fname) + " does not load " + kCivetWebSslName;
    CDlHandle byName(dlopen(kCivetWebSslName, RTLD_LAZY | RTLD_NOLOAD));
    if (byName.get() != guardLib)
        return std::string(kCivetWebSslName) + " is not " + s_szCompatLibs[1];
    // A CivetWeb linked to OpenSSL itself would reach SSL_read through its own dependencies.
    CDlHandle civet(dlopen(civetInfo.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
    if (!civet)
        return std::string(civetInfo.dli_fname) + " is not loaded";
    for (const char* name : {"SSL_read", "SSL_read_ex"}) {
        void* direct = dlsym(civet.get(), name);
        if (direct != nullptr && direct != dlsym(guardLib, name))
            return std::string("CivetWeb reaches another ") + name;
    }
    return std::string();
}

}  // namespace

int NV_PrepareTls() {
    try {
        if (mg_check_feature(MG_FEATURES_TLS) == 0) {
            DMlogprint("[TLS] CivetWeb is built without TLS support\n");
            return 0;
        }
        for (int i = 0; i < 2; ++i) {
            if (s_compatHandles[i])
                continue;
            s_compatHandles[i].reset(dlopen(s_szCompatLibs[i], RTLD_NOW | RTLD_GLOBAL));
            if (!s_compatHandles[i]) {
                const char* why = dlerror();
                DMlogprint("[TLS] can not load %s : %s\n", s_szCompatLibs[i],
                           why != nullptr ? why : "unknown error");
                return 0;
            }
        }
        // mg_init_library reports the TLS feature only when it could load OpenSSL and find every
        // function it needs; without it mg_start would still succeed and crash on the first
        // handshake, so the server must not start.
        const unsigned features = mg_init_library(MG_FEATURES_TLS);
        if ((features & MG_FEATURES_TLS) == 0) {
            DMlogprint("[TLS] CivetWeb could not initialise OpenSSL (features 0x%x)\n", features);
            return 0;
        }
        // The frame bound, the request deadline and the WebSocket idle bound live in the guard: a
        // CivetWeb that reads past it (a rebuilt one, another load name, SSL_read_ex) would serve
        // without any of them, so it does not serve at all.
        const std::string gap = GuardGap();
        if (!gap.empty()) {
            DMlogprint("[TLS] the read guard is not in place (%s); not serving\n", gap.c_str());
            return 0;
        }
        void* guardLib = s_compatHandles[1].get();
        s_setLimits.store(DlFunction<PFN_SetLimits>(guardLib, "NV_SetSslLimits"));
        s_requestDone.store(DlFunction<PFN_RequestDone>(guardLib, "NV_SslRequestDone"));
        s_takeRefusal.store(DlFunction<PFN_TakeRefusal>(guardLib, "NV_TakeSslRefusal"));
        NV_SetTlsLimits(s_requestTimeoutMs.load(), s_webSocketIdleMs.load());
        return 1;
    } catch (...) {
        return 0;
    }
}

void NV_EndTlsRequest() {
    PFN_RequestDone done = s_requestDone.load();
    if (done != nullptr)
        done();
}

void NV_SetTlsLimits(long long requestTimeoutMs, long long webSocketIdleMs) {
    s_requestTimeoutMs.store(requestTimeoutMs);
    s_webSocketIdleMs.store(webSocketIdleMs);
    PFN_SetLimits set = s_setLimits.load();
    if (set != nullptr)
        set(requestTimeoutMs, webSocketIdleMs);
}

const char* NV_TakeTlsRefusal() {
    PFN_TakeRefusal take = s_takeRefusal.load();
    switch (take != nullptr ? take() : 0) {
        case 1:
            return "WebSocket frame too long";
        case 2:
            return "request time-out";
        case 3:
            return "WebSocket idle";
        default:
            return nullptr;
    }
}
