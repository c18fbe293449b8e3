// Helpers for the desktop tests: a shell recorder, a temporary home directory, polling, files.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ShellRecorder.h"
#include "WaitFor.h"
#include "support/LinuxUtil.h"
#include "support/ProcessUtil.h"

namespace desktoptest {

namespace fs = std::filesystem;

constexpr const char* kNick = "Tollan Root Authority - Velstra";

// Records every command and pause in order (tests/common/ShellRecorder.h).
using nvtest::ShellRecorder;

// A fresh temporary directory used as the user's home for one test; the previous home comes back.
class TempHome {
public:
    explicit TempHome(const std::string& leaf = "home") {
        char tmpl[] = "/tmp/nv_desk_XXXXXX";
        m_root = mkdtemp(tmpl);
        m_home = m_root + "/" + leaf;
        fs::create_directories(m_home);
        m_saved = DMLinuxUtil_GetUserHOMEDir();
        DMLinuxUtil_SetUserHOMEDir(m_home.c_str());
        // The user's data directory (where a root CA of the user's own lives) is the temporary
        // home's too, never the one of the session the tests run in.
        if (const char* xdg = std::getenv("XDG_DATA_HOME")) {
            m_savedXdg = xdg;
            m_hadXdg = true;
        }
        unsetenv("XDG_DATA_HOME");
    }
    ~TempHome() {
        DMLinuxUtil_CollectBackgroundCommands(60000);
        DMLinuxUtil_SetUserHOMEDir(m_saved.c_str());
        if (m_hadXdg)
            setenv("XDG_DATA_HOME", m_savedXdg.c_str(), 1);
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& Path() const { return m_home; }
    const std::string& Root() const { return m_root; }

private:
    std::string m_root;
    std::string m_home;
    std::string m_saved;
    std::string m_savedXdg;
    bool m_hadXdg = false;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Output of a shell command (stderr dropped).
inline std::string RunAndRead(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        out.append(buf, n);
    pclose(pipe);
    return out;
}

// The delete and add commands exactly as the installation builds them for ordinary paths.
inline std::string DeleteCmd(const std::string& db) {
    return "certutil -d " + db + " -D -n \"" + kNick + "\"";
}
inline std::string AddCmd(const std::string& db, const std::string& trust,
                          const std::string& certFile) {
    return "certutil -A -t \"" + trust + "\" -n \"" + kNick + "\" -i \"" + certFile + "\" -d \"" +
           db + "\"";
}

}  // namespace desktoptest
