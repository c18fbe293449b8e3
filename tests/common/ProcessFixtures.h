// Test helpers for the /proc scans: stand-in processes started with a chosen argument 0, fake
// /proc trees, and the seam that points the scans at one.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/ProcessUtil.h"

extern char** environ;

namespace nvtest {

// The program path a process was started with (its first command-line argument).
inline std::string ReadCmdline(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.substr(0, text.find('\0'));
}

// A long sleeping child started from program with the given argument 0; killed at scope end. The
// constructor returns once /proc shows the child with that argument 0 (30 s at most).
class Sleeper {
public:
    Sleeper(const std::string& program, const std::string& arg0) {
        std::vector<char*> argv = {const_cast<char*>(arg0.c_str()), const_cast<char*>("300"),
                                   nullptr};
        if (posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (m_pid > 0 && ReadCmdline(m_pid) != arg0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Sleeper() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A copy of /bin/sleep named name in dir, so that a stand-in process carries that name.
inline std::string CopyOfSleep(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name;
    std::filesystem::copy_file("/bin/sleep", path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// Writes text to path, making the directories on the way (fake /proc entries).
inline void WriteFileMakingDirs(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A fake /proc entry: its command line and a status file with the given real user id.
inline void WriteFakeProcess(const std::string& root, const std::string& id,
                             const std::string& cmdline, long uid) {
    WriteFileMakingDirs(root + "/" + id + "/cmdline", cmdline);
    WriteFileMakingDirs(root + "/" + id + "/status",
                        "Name:\tx\nUmask:\t0022\nUid:\t" + std::to_string(uid) + "\t" +
                            std::to_string(uid) + "\t0\t0\nGid:\t0\t0\t0\t0\n");
}

// Points the /proc scans at root for its lifetime.
class ProcRootGuard {
public:
    explicit ProcRootGuard(const std::string& root) { DMLinuxUtil_SetProcRoot(root.c_str()); }
    ~ProcRootGuard() { DMLinuxUtil_SetProcRoot(nullptr); }
    ProcRootGuard(const ProcRootGuard&) = delete;
    ProcRootGuard& operator=(const ProcRootGuard&) = delete;
};

}  // namespace nvtest
