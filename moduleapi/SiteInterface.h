// The interface between the daemon and a native client module: the record handed to the module,
// the output record of the callback relay, and the three entry points the daemon looks up.
// Module authors build against this header; it depends on nothing of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Output of the callback relay, owned by the module. The relay writes both fields and nothing
// else. strText is a std::string of the daemon's C++ library, so module and daemon must be built
// with the same standard library ABI.
struct CALLBACK_REPLY {
    bool bDone;
    std::string strText;
};

using PFN_WrapperMalloc = void* (*)(unsigned long size);
using PFN_WrapperFree = void (*)(void* ptr);
// (out, reserved, callback, reply) -> 0. See WrapperSetCallback.
using PFN_WrapperSetCallback = int (*)(CALLBACK_REPLY* out, void* reserved, const char* callback,
                                       const char* reply);

// The one record whose address every InitSite_external call receives. It lives in the daemon's
// writable data for the life of the process. 48 bytes on a 64-bit little-endian platform.
struct SITE_INTERFACE {
    std::uint64_t nVersion;       // 1
    std::uint64_t nLength;        // 48, the record's length in bytes
    std::uint64_t nCount;         // 4
    PFN_WrapperMalloc pfnMalloc;  // the standard malloc
    PFN_WrapperFree pfnFree;      // the standard free
    PFN_WrapperSetCallback
        pfnSetCallback;  // formats a "setcallback" response into a CALLBACK_REPLY
};

static_assert(sizeof(void*) == 8, "the module interface is defined for 64-bit platforms");
static_assert(sizeof(SITE_INTERFACE) == 48, "SITE_INTERFACE must be 48 bytes");
static_assert(offsetof(SITE_INTERFACE, nVersion) == 0, "SITE_INTERFACE layout");
static_assert(offsetof(SITE_INTERFACE, nLength) == 8, "SITE_INTERFACE layout");
static_assert(offsetof(SITE_INTERFACE, nCount) == 16, "SITE_INTERFACE layout");
static_assert(offsetof(SITE_INTERFACE, pfnMalloc) == 24, "SITE_INTERFACE layout");
static_assert(offsetof(SITE_INTERFACE, pfnFree) == 32, "SITE_INTERFACE layout");
static_assert(offsetof(SITE_INTERFACE, pfnSetCallback) == 40, "SITE_INTERFACE layout");

// Values the daemon puts in the record.
constexpr std::uint64_t kSiteInterfaceVersion = 1;
constexpr std::uint64_t kSiteInterfaceLength = sizeof(SITE_INTERFACE);
constexpr std::uint64_t kSiteInterfaceCount = 4;

// The module's entry points, looked up by these names with dlsym. They have C linkage.
//   int   InitSite_external(SITE_INTERFACE* site);  negative = failure, the module is unloaded again
//   char* InvokeSite_external(const char* request); malloc'd NUL-terminated reply, or null
//   int   UnInitSite_external(void);                result ignored
using PFN_InitSite_external = int (*)(SITE_INTERFACE* site);
using PFN_InvokeSite_external = char* (*)(const char* request);
using PFN_UnInitSite_external = int (*)();

#define NV_INIT_SITE_NAME "InitSite_external"
#define NV_INVOKE_SITE_NAME "InvokeSite_external"
#define NV_UNINIT_SITE_NAME "UnInitSite_external"
