// Test helper: the shell runner seam filled with a recorder, so that no command of the code under
// test reaches the real desktop and the exact command texts can be checked.
#pragma once

#include <string>
#include <vector>

#include "support/ProcessUtil.h"

namespace nvtest {

// Installed for its lifetime. Records every command and pause in order ("pause 100000" for a
// pause). With passThrough set the commands also run for real through the product's runner
// (pauses are only recorded).
class ShellRecorder : public IDMShellRunner {
public:
    explicit ShellRecorder(bool passThrough = false) : m_passThrough(passThrough) {
        DMLinuxUtil_SetShellRunner(this);
    }
    ~ShellRecorder() override { DMLinuxUtil_SetShellRunner(nullptr); }
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    int Run(const char* command) override {
        entries.emplace_back(command != nullptr ? command : "");
        return m_passThrough ? DMLinuxUtil_RealShellRunner()->Run(command) : 0;
    }
    void Pause(unsigned int usec) override { entries.push_back("pause " + std::to_string(usec)); }

    // The commands alone, without the pauses.
    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        for (const auto& e : entries)
            if (e.rfind("pause ", 0) != 0)
                out.push_back(e);
        return out;
    }

    std::vector<std::string> entries;

private:
    bool m_passThrough;
};

}  // namespace nvtest
