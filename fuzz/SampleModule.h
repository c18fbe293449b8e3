// The fuzz targets that go all the way to a module use the sample module, through the real
// bridge and its dlopen path.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "bridge/VelstraWrapper.h"
#include "support/DM_Json.h"

namespace nvfuzz {

// Points the process-wide bridge at the sample module and keeps one reference of its own, so the
// module is not loaded and unloaded again with every session the inputs create and drop.
inline void UseSampleModule() {
    auto* bridge = dynamic_cast<CVelstraWrapperLinux*>(CVelstraWrapper::GetInst());
    if (bridge == nullptr)
        std::abort();
    bridge->SetModulePath(NV_SAMPLE_MODULE_PATH);
    static void* s_keep = dlopen(NV_SAMPLE_MODULE_PATH, RTLD_NOW);
    if (s_keep == nullptr)
        std::abort();
}

// The sample module sleeps for a request's "delay_ms" (up to a minute): such inputs would only
// measure the clock, so they are skipped.
inline bool WouldDelayTheModule(const std::string& request) {
    CDM_Json json;
    std::string value;
    return json.Parse(request) == 0 && json.GetValueString("delay_ms", value) == 0;
}

}  // namespace nvfuzz
