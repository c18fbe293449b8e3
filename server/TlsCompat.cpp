// Loading of the OpenSSL compatibility libraries and CivetWeb's TLS initialisation.
#include "server/TlsCompat.h"

#include <civetweb.h>
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <memory>

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

// Our references to the libraries, held for the life of the process: CivetWeb keeps function
// pointers into them from mg_init_library on. Only the first call of NV_PrepareTls fills them
// (it runs on the starting thread before any server exists).
CDlHandle s_compatHandles[2];

// The libssl library's deadline setter for request bodies (see NV_SetTlsReadDeadline).
using PFN_SetReadDeadline = void (*)(long long);
std::atomic<PFN_SetReadDeadline> s_setReadDeadline{nullptr};

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
        if (s_setReadDeadline.load() == nullptr) {
            s_setReadDeadline.store(
                DlFunction<PFN_SetReadDeadline>(s_compatHandles[1].get(), "NV_SetSslReadDeadline"));
        }
        // mg_init_library reports the TLS feature only when it could load OpenSSL and find every
        // function it needs; without it mg_start would still succeed and crash on the first
        // handshake, so the server must not start.
        const unsigned features = mg_init_library(MG_FEATURES_TLS);
        if ((features & MG_FEATURES_TLS) == 0) {
            DMlogprint("[TLS] CivetWeb could not initialise OpenSSL (features 0x%x)\n", features);
            return 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

void NV_SetTlsReadDeadline(long long monotonicMs) {
    PFN_SetReadDeadline setter = s_setReadDeadline.load();
    if (setter != nullptr)
        setter(monotonicMs);
}
