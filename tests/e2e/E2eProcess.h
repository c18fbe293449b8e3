// Helpers for running the built program: launching with captured output, collecting the forked
// daemon through the child-subreaper role, waiting with deadlines, and the daemon's log records.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogRecords.h"

namespace nve2e {

using Clock = std::chrono::steady_clock;

// Collects everything written to a pipe on a thread of its own, until end of file or Stop.
class PipeReader {
public:
    explicit PipeReader(int fd) : m_fd(fd), m_thread([this] { Run(); }) {}
    ~PipeReader() {
        m_stop.store(true);
        m_thread.join();
        close(m_fd);
    }
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    std::string Text() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }
    bool AtEof() const { return m_eof.load(); }

    // Polls pred on the text until it holds or the limit passes.
    bool WaitFor(const std::function<bool(const std::string&)>& pred,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        auto deadline = Clock::now() + limit;
        for (;;) {
            if (pred(Text()))
                return true;
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool WaitForEof(std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        auto deadline = Clock::now() + limit;
        while (!AtEof() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return AtEof();
    }

private:
    void Run() {
        char buf[4096];
        while (!m_stop.load()) {
            struct pollfd pfd {
                m_fd, POLLIN, 0
            };
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            ssize_t n = read(m_fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_eof.store(true);
                return;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_text.append(buf, static_cast<size_t>(n));
        }
    }

    int m_fd;
    mutable std::mutex m_mutex;
    std::string m_text;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_eof{false};
    std::thread m_thread;
};

// A started program with its standard output and error captured. Standard input is /dev/null.
class Launched {
public:
    Launched(const std::string& path, const std::vector<std::string>& args) {
        std::vector<std::string> all;
        all.push_back(path);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            std::abort();
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec: the test process has threads.
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
                _exit(127);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = std::make_unique<PipeReader>(out[0]);
        m_err = std::make_unique<PipeReader>(err[0]);
    }
    Launched(const Launched&) = delete;
    Launched& operator=(const Launched&) = delete;

    pid_t Pid() const { return m_pid; }
    const PipeReader& Out() const { return *m_out; }
    const PipeReader& Err() const { return *m_err; }

private:
    pid_t m_pid = -1;
    std::unique_ptr<PipeReader> m_out;
    std::unique_ptr<PipeReader> m_err;
};

// Waits for pid to end and returns its wait status, or -1 when it did not end in time.
inline int WaitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 || Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The living (not yet collected) children of this process, read from /proc. With the
// child-subreaper role these include the daemons that the started programs forked.
inline std::vector<pid_t> ChildrenOfThisProcess() {
    std::vector<pid_t> result;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), &closedir);
    if (!dir)
        return result;
    const pid_t self = getpid();
    while (struct dirent* e = readdir(dir.get())) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || pid <= 0)
            continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == self && state != 'Z')
            result.push_back(static_cast<pid_t>(pid));
    }
    return result;
}

// Becomes the reaper of orphaned descendants, so the daemon a started program forks becomes our
// child when that program ends.
inline void BecomeSubreaper() {
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

// Kills and collects every child left (daemons included).
inline void KillAllChildren() {
    for (pid_t pid : ChildrenOfThisProcess()) {
        kill(pid, SIGKILL);
        WaitExit(pid, std::chrono::seconds(10));
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The log records of the log-to-stderr build: each "NVLOG " line, unescaped to the exact line.
inline std::vector<std::string> LogLines(const std::string& stderrText) {
    return nvtest::DecodeLogRecords(stderrText);
}

inline int IndexOf(const std::vector<std::string>& lines, const std::string& line, int from = 0) {
    for (size_t i = static_cast<size_t>(from < 0 ? 0 : from); i < lines.size(); ++i)
        if (lines[i] == line)
            return static_cast<int>(i);
    return -1;
}

// Runs a short command to its end (at most 60 s), returning its wait status and combined output.
struct CommandResult {
    int status = -1;
    std::string output;
};
inline CommandResult RunCommand(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> all;
    all.push_back(path);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(p[1], 1) < 0 || dup2(p[1], 2) < 0)
            _exit(127);
        execvp(path.c_str(), argv.data());
        _exit(127);
    }
    close(p[1]);
    CommandResult result;
    {
        PipeReader reader(p[0]);
        result.status = WaitExit(pid, std::chrono::seconds(60));
        if (result.status == -1) {
            kill(pid, SIGKILL);
            WaitExit(pid, std::chrono::seconds(10));
        }
        reader.WaitForEof(std::chrono::seconds(10));
        result.output = reader.Text();
    }
    return result;
}

}  // namespace nve2e
