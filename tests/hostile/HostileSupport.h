// Helpers of the hostile-input, fault and soak tests: the built daemon started in a temporary home
// (optionally in a private mount namespace that shows other files at its fixed paths), its memory
// and descriptors read from /proc, the reply envelope parsed with json-c, and a health check made of
// a probe and a module call. All traffic goes to 127.0.0.1 only.
#pragma once

#include <fcntl.h>
#include <json-c/json.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LogRecords.h"
#include "ProcScan.h"
#include "TlsHttpClient.h"
#include "WsClient.h"
#include "nv_config.h"

namespace nvhostile {

using namespace nvtest;
using namespace std::chrono_literals;

// The daemon closes connections the tests are still writing to; a write to them must fail, not end
// the test process.
inline const bool kSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

// The staged product and its log-to-stderr twin (the same code, every log line on stderr).
inline std::string ProductPath() {
    return DaemonProcess::ProductPath();
}
inline std::string LogTestPath() {
    return DaemonProcess::LogTestPath();
}

// One value of /proc/<pid>/status in kB (VmRSS, VmSize, VmHWM) or as a count (Threads); -1 if absent.
inline long ProcStatus(pid_t pid, const std::string& key) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::atol(line.c_str() + key.size() + 1);
    }
    return -1;
}
inline long RssKb(pid_t pid) {
    return ProcStatus(pid, "VmRSS");
}

inline int OpenFdCount(pid_t pid) {
    int n = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n;
}

// Mount namespaces need CAP_SYS_ADMIN: the CI runs as root, developers or containers may not have
// it. Tried once in a child process.
inline bool CanUseMountNamespace() {
    static const bool s_bPossible = [] {
        pid_t child = fork();
        if (child == 0) {
            bool ok = unshare(CLONE_NEWNS) == 0 &&
                      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }();
    return s_bPossible;
}

// The built daemon started as a user's session would start it (-H <temp home> -S), serving from its
// forked child. With binds, the program runs in a private mount namespace in which each source is
// mounted over its target, so the daemon finds other files at its fixed paths (a missing module, a
// damaged credential file) while everything else on the machine stays as it is.
class Daemon {
public:
    struct Bind {
        std::string source;
        std::string target;
    };

    explicit Daemon(std::string program, std::vector<Bind> binds = {})
        : m_program(std::move(program)), m_binds(std::move(binds)) {}
    ~Daemon() { Stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts the program and waits until its serving child exists; with expectListen, also until it
    // accepts on one of the fixed ports (the first free one, normally 4441).
    ::testing::AssertionResult Start(bool expectListen = true) {
        if (m_home.Path().empty())
            return ::testing::AssertionFailure() << "no temporary home";
        if (access(m_program.c_str(), X_OK) != 0)
            return ::testing::AssertionFailure() << "not built: " << m_program;
        if (!m_binds.empty() && !CanUseMountNamespace())
            return ::testing::AssertionFailure() << "a private mount namespace cannot be made here";
        prctl(PR_SET_CHILD_SUBREAPER, 1);

        // Everything the child needs is made before fork: only system calls between fork and exec.
        const std::string out = m_home.Path() + "/stdout.txt";
        const std::string err = m_home.Path() + "/stderr.txt";
        std::vector<std::string> args = {m_program, "-H", m_home.Path(), "-S"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const bool privateMounts = !m_binds.empty();

        pid_t starter = fork();
        if (starter < 0)
            return ::testing::AssertionFailure() << "fork failed";
        if (starter == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int n = open("/dev/null", O_RDONLY);
            if (o < 0 || e < 0 || n < 0 || dup2(n, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(120);
            if (privateMounts) {
                if (unshare(CLONE_NEWNS) != 0)
                    _exit(121);
                if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                    _exit(122);
                for (const Bind& b : m_binds)
                    if (mount(b.source.c_str(), b.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                        _exit(123);
            }
            execv(m_program.c_str(), argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(starter, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return ::testing::AssertionFailure() << "starting process ended with wait status "
                                                 << status << "; stderr: " << Stderr();
        // A start that is to fail may end its serving child before it can be found; the caller
        // collects it with WaitChildEnd.
        if (!expectListen)
            return ::testing::AssertionSuccess();
        if (!WaitFor([&] { return (m_pid = FindChild()) > 0; }, 15s))
            return ::testing::AssertionFailure() << "no serving child; stderr: " << Stderr();
        if (!WaitFor(
                [&] { return (m_port = DaemonProcess::ListeningPort(m_pid)) != 0 || !Alive(); },
                60s) ||
            m_port == 0)
            return ::testing::AssertionFailure()
                   << "the daemon does not listen; stderr: " << Stderr();
        if (!WaitFor([&] { return TcpAccepts(m_port); }, 30s))
            return ::testing::AssertionFailure() << "the daemon does not accept on " << m_port;
        return ::testing::AssertionSuccess();
    }

    bool Alive() const { return m_pid > 0 && kill(m_pid, 0) == 0 && !IsZombie(); }

    // SIGINT (a handled stop signal) and reap; SIGKILL when it does not end in time. The wait status.
    int Stop() {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGINT);
        int status = WaitEnd(60s);
        m_pid = -1;
        return status;
    }

    // Reaps the serving child when it ends by itself; its wait status, or -1 (it is then killed).
    int WaitEnd(std::chrono::milliseconds limit) {
        if (m_pid <= 0)
            return -1;
        int status = 0;
        bool reaped = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit);
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            status = -1;
        }
        m_pid = -1;
        return status;
    }

    // After Start(false): reaps the forked child (this process's only other child) when it ends by
    // itself; its wait status, or -1 when none ended in time.
    static int WaitChildEnd(std::chrono::milliseconds limit) {
        int status = -1;
        WaitFor([&] { return waitpid(-1, &status, WNOHANG) > 0; }, limit);
        return status;
    }

    pid_t Pid() const { return m_pid; }
    unsigned short Port() const { return m_port; }
    const std::string& Home() const { return m_home.Path(); }
    std::string Stderr() const { return ReadFile(m_home.Path() + "/stderr.txt"); }

    // The log lines of the log test build (its "NVLOG " records, unescaped).
    std::vector<std::string> LogLines() const { return nvtest::DecodeLogRecords(Stderr()); }
    bool HasLogLine(const std::string& line) const {
        for (const auto& l : LogLines())
            if (l == line)
                return true;
        return false;
    }
    bool WaitForLogLine(const std::string& line, std::chrono::milliseconds limit = 20s) const {
        return WaitFor([&] { return HasLogLine(line); }, limit);
    }

    // Sanitizer findings written by the daemon (empty in normal builds).
    std::string SanitizerReport() const {
        std::string text = Stderr();
        for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "runtime error:", "WARNING: ThreadSanitizer"}) {
            std::size_t at = text.find(marker);
            if (at != std::string::npos)
                return text.substr(at, 2000);
        }
        return std::string();
    }

private:
    bool IsZombie() const {
        std::string stat = ReadFile("/proc/" + std::to_string(m_pid) + "/stat");
        auto paren = stat.rfind(')');
        return paren == std::string::npos || (paren + 2 < stat.size() && stat[paren + 2] == 'Z');
    }

    pid_t FindChild() const { return FindChildWithArgument(m_home.Path()); }

    std::string m_program;
    std::vector<Bind> m_binds;
    TempDir m_home;
    pid_t m_pid = -1;
    unsigned short m_port = 0;
};

// ---- Reply envelope --------------------------------------------------------------------------------

struct JsonDeleter {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

// The members of a reply envelope: response.id, .tabid, .callback, .status and the module's reply
// text at response.reply.reply.reply. `valid` is false when the text is not such an envelope.
struct ReplyEnvelope {
    bool valid = false;
    std::string id, tabid, callback, status, reply;
};

inline std::string MemberText(json_object* parent, const char* name, bool* ok) {
    json_object* member = nullptr;  // borrowed
    if (parent == nullptr || !json_object_object_get_ex(parent, name, &member) ||
        !json_object_is_type(member, json_type_string)) {
        *ok = false;
        return std::string();
    }
    return std::string(json_object_get_string(member),
                       static_cast<std::size_t>(json_object_get_string_len(member)));
}

inline ReplyEnvelope ParseEnvelope(const std::string& text) {
    ReplyEnvelope env;
    JsonPtr root(json_tokener_parse(text.c_str()));
    json_object* response = nullptr;  // borrowed, as are the ones below
    if (!root || !json_object_object_get_ex(root.get(), "response", &response))
        return env;
    bool ok = true;
    env.id = MemberText(response, "id", &ok);
    env.tabid = MemberText(response, "tabid", &ok);
    env.callback = MemberText(response, "callback", &ok);
    env.status = MemberText(response, "status", &ok);
    json_object* r1 = nullptr;
    json_object* r2 = nullptr;
    if (!json_object_object_get_ex(response, "reply", &r1) ||
        !json_object_object_get_ex(r1, "reply", &r2))
        return env;
    env.reply = MemberText(r2, "reply", &ok);
    env.valid = ok;
    return env;
}

// What the sample module put in its reply: the request text it was handed and its counters.
struct SampleReply {
    bool valid = false;
    std::string request;
    long invokeCalls = -1;
    long maxConcurrent = -1;
};

inline SampleReply ParseSampleReply(const std::string& moduleText) {
    SampleReply s;
    JsonPtr root(json_tokener_parse(moduleText.c_str()));
    if (!root || !json_object_is_type(root.get(), json_type_object))
        return s;
    bool ok = true;
    s.request = MemberText(root.get(), "request", &ok);
    json_object* n = nullptr;  // borrowed
    if (json_object_object_get_ex(root.get(), "invoke_calls", &n))
        s.invokeCalls = json_object_get_int64(n);
    if (json_object_object_get_ex(root.get(), "max_concurrent_invokes", &n))
        s.maxConcurrent = json_object_get_int64(n);
    s.valid = ok;
    return s;
}

// ---- Requests --------------------------------------------------------------------------------------

// A form POST of a JSON request on a fresh connection, as a page's XHR sends it. The reply is waited
// for up to `timeout` (module calls may be made to last).
inline HttpResponse PostJson(unsigned short port, const std::string& json,
                             std::chrono::milliseconds timeout = kIoTimeout) {
    TlsConnection conn;
    if (!conn.Connect(port) || !conn.Write(BuildPost("request=" + FormEncode(json))))
        return HttpResponse{};
    std::string pending;
    return ReadHttpResponse(conn, pending, /*noBody=*/false, timeout);
}

// The daemon answers a probe with the exact probe answer and a module call with status TRUE and the
// sample module's reply for exactly the text sent. `tag` makes the call's id unique.
inline ::testing::AssertionResult Healthy(unsigned short port, const std::string& tag = "health") {
    HttpResponse probe = HttpExchange(
        port, BuildRequest("GET", "/?dmPortScan", "Origin: https://pages.example\r\n"));
    if (probe.raw != kProbeAnswerText)
        return ::testing::AssertionFailure() << "probe answered: " << probe.raw;
    const std::string request =
        "{\"id\":\"" + tag + "\",\"tabid\":\"h\",\"origin\":\"https://health.example\"}";
    HttpResponse r = PostJson(port, request);
    ReplyEnvelope env = ParseEnvelope(r.body);
    if (r.Status() != 200 || !env.valid || env.status != "TRUE" || env.id != tag)
        return ::testing::AssertionFailure() << "module call answered: " << r.raw.substr(0, 400);
    SampleReply s = ParseSampleReply(env.reply);
    if (!s.valid || s.request != request)
        return ::testing::AssertionFailure() << "module reply: " << env.reply;
    return ::testing::AssertionSuccess();
}

// RSS growth bound check: `afterKb` may exceed `beforeKb` by at most `slackMb`.
inline ::testing::AssertionResult RssWithin(long beforeKb, long afterKb, long slackMb) {
    if (beforeKb <= 0 || afterKb <= 0)
        return ::testing::AssertionFailure() << "no RSS figures";
    if (afterKb - beforeKb > slackMb * 1024)
        return ::testing::AssertionFailure() << "RSS grew from " << beforeKb << " kB to " << afterKb
                                             << " kB (limit +" << slackMb << " MiB)";
    return ::testing::AssertionSuccess();
}

// Sanitizer builds run slower and keep more memory around freed blocks.
#ifdef NV_SANITIZER_BUILD
constexpr long kSlowFactor = 3;
#else
constexpr long kSlowFactor = 1;
#endif

}  // namespace nvhostile
