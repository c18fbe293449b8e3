// The report of nv-doctor in its two forms, and the small process helper the checks share.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "doctor/Doctor.h"

namespace {

const char* StateName(CheckState state) {
    switch (state) {
        case CheckState::Good:
            return "good";
        case CheckState::Warning:
            return "warning";
        case CheckState::Bad:
            return "bad";
    }
    return "bad";
}

const char* Mark(CheckState state) {
    switch (state) {
        case CheckState::Good:
            return "[ OK ]";
        case CheckState::Warning:
            return "[WARN]";
        case CheckState::Bad:
            return "[FAIL]";
    }
    return "[FAIL]";
}

// A JSON string with its quotes. Control characters are escaped; other bytes pass as they are
// (paths are taken as UTF-8).
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Text read from files or other programs may hold terminal control characters; they are shown
// as '?' so that nothing read can rewrite the user's terminal.
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

}  // namespace

void CDoctorReport::Add(const std::string& name, CheckState state, const std::string& detail,
                        const std::string& advice) {
    m_checks.push_back({name, state, detail, advice});
}

bool CDoctorReport::AnyBad() const {
    for (const DoctorCheck& c : m_checks)
        if (c.state == CheckState::Bad)
            return true;
    return false;
}

std::string CDoctorReport::Text(const std::string& heading) const {
    std::string out = heading + "\n\n";
    int counts[3] = {0, 0, 0};
    for (const DoctorCheck& c : m_checks) {
        ++counts[static_cast<int>(c.state)];
        out += std::string(Mark(c.state)) + " " + Printable(c.name) + ": " + Printable(c.detail) +
               "\n";
        if (!c.advice.empty())
            out += "       -> " + Printable(c.advice) + "\n";
    }
    if (!m_hints.empty()) {
        out += "\nHints (browsers):\n";
        for (const std::string& h : m_hints)
            out += "  - " + Printable(h) + "\n";
    }
    char summary[128];
    std::snprintf(summary, sizeof(summary), "\n%d good, %d warning(s), %d bad: %s\n", counts[0],
                  counts[1], counts[2],
                  counts[2] > 0 ? "pages cannot reach the daemon until the bad ones are mended"
                                : "nothing found that keeps pages from the daemon");
    return out + summary;
}

std::string CDoctorReport::Json(const std::string& home) const {
    std::string out = "{\n  \"tool\": \"nv-doctor\",\n  \"home\": " + JsonString(home) +
                      ",\n  \"status\": " + JsonString(AnyBad() ? "bad" : "good") +
                      ",\n  \"checks\": [";
    for (size_t i = 0; i < m_checks.size(); ++i) {
        const DoctorCheck& c = m_checks[i];
        out += std::string(i == 0 ? "\n" : ",\n") + "    { \"name\": " + JsonString(c.name) +
               ", \"state\": " + JsonString(StateName(c.state)) +
               ", \"detail\": " + JsonString(c.detail) + ", \"advice\": " + JsonString(c.advice) +
               " }";
    }
    out += "\n  ],\n  \"hints\": [";
    for (size_t i = 0; i < m_hints.size(); ++i)
        out += std::string(i == 0 ? "\n    " : ",\n    ") + JsonString(m_hints[i]);
    return out + "\n  ]\n}\n";
}

int RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output) {
    output.clear();
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(out[1], 1) < 0 || dup2(devnull, 2) < 0)
            _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool killed = false;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        struct pollfd p = {out[0], POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        ssize_t n = read(out[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        // Listings are small; anything far beyond that is not what was asked for.
        if (output.size() < (1u << 20))
            output.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    // A program that closed its output may still run: it gets what is left of the time.
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return -1;
        if (!killed && std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            killed = true;
        } else if (!killed) {
            poll(nullptr, 0, 10);
        }
    }
    if (killed || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string FormatUtc(time_t when) {
    struct tm tmv {};
    char buf[64];
    if (gmtime_r(&when, &tmv) == nullptr ||
        std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S UTC", &tmv) == 0)
        return "?";
    return buf;
}
