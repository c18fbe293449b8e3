// The one wait of the tests: polls a condition until it holds or a deadline passes. Tests wait on
// observable state this way, never on a fixed sleep, so they hold on a loaded two-core machine.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// True as soon as cond holds; false when it still does not after timeout.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}
