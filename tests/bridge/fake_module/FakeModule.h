// What a test can read from the fake native module through its own dlopen reference.
#pragma once

extern "C" {

struct FakeModuleStats {
    long nInitCalls;        // InitSite_external calls since load
    long nInvokeCalls;      // InvokeSite_external calls since load
    long nUninitCalls;      // UnInitSite_external calls since load
    long nActive;           // InvokeSite_external calls in progress now
    long nMaxActive;        // most InvokeSite_external calls ever in progress at once
    int bSiteOk;            // 1 when every InitSite_external record passed the checks
    const void* pLastSite;  // address of the last record handed to InitSite_external
};

// Exported by the fake module next to the three entry points.
using PFN_FakeModule_GetStats = void (*)(FakeModuleStats* out);
#define NV_FAKE_GET_STATS_NAME "FakeModule_GetStats"
}
