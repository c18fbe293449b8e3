// Owner of a dlopen handle: dlclose when the owner goes away.
#pragma once

#include <dlfcn.h>

#include <memory>

struct DlCloser {
    void operator()(void* handle) const {
        if (handle != nullptr)
            dlclose(handle);
    }
};
using CDlHandle = std::unique_ptr<void, DlCloser>;

// Looks a function up in a loaded library; null when the symbol is missing.
template <typename Fn>
Fn DlFunction(void* handle, const char* name) {
    // POSIX guarantees that dlsym results convert to function pointers.
    return reinterpret_cast<Fn>(dlsym(handle, name));
}
