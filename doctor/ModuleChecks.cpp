// The module: present at the module path, loadable, with its three entry points; loaded in a child
// process so that a module that crashes or hangs while loading cannot take the tool down. And the
// versions the running daemon reports ("get_versions"), of which only the version numbers are read.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "doctor/Doctor.h"
#include "doctor/DoctorInternal.h"
#include "support/DM_Json.h"
#include "support/Wipe.h"

namespace {

constexpr int kLoadTimeoutMs = 3000;
constexpr const char* kEntryPoints[] = {"InitSite_external", "InvokeSite_external",
                                        "UnInitSite_external"};

// Runs in the forked child only: loads the module and writes one line to fd, "OK" followed by the
// missing entry points, or "ERR " and the loader's message.
[[noreturn]] void LoadInChild(const std::string& path, int fd) {
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
    }
    std::string result;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        result = std::string("ERR ") + (why != nullptr ? why : "unknown error");
    } else {
        result = "OK";
        for (const char* symbol : kEntryPoints)
            if (dlsym(handle, symbol) == nullptr)
                result += std::string(" ") + symbol;
    }
    if (result.size() > 400)
        result.resize(400);
    ssize_t written = write(fd, result.data(), result.size());
    (void)written;
    // No dlclose and no exit handlers: the module's own clean-up is not what is being checked.
    _exit(0);
}

// What the child reported, or a description of how it ended.
std::string LoadModuleInChild(const std::string& path, bool& crashed) {
    crashed = false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::string("ERR pipe: ") + std::strerror(errno);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::string("ERR fork: ") + std::strerror(errno);
    }
    if (pid == 0) {
        close(fds[0]);
        LoadInChild(path, fds[1]);
    }
    close(fds[1]);
    std::string text;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoadTimeoutMs);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buf[512];
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        crashed = true;
        return "loading did not finish within " + std::to_string(kLoadTimeoutMs / 1000) + " s";
    }
    if (WIFSIGNALED(status)) {
        crashed = true;
        return std::string("the module crashed while loading (") + strsignal(WTERMSIG(status)) +
               ")";
    }
    return text;
}

std::string Unquoted(const std::string& jsonText) {
    if (jsonText.size() >= 2 && jsonText.front() == '"' && jsonText.back() == '"')
        return jsonText.substr(1, jsonText.size() - 2);
    return jsonText;
}

std::string FormEncoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Asks the daemon for its version report over HTTPS. Only the version members are kept; the
// reply itself is wiped.
bool DaemonVersions(const DoctorContext& ctx, std::string& daemon, std::string& module,
                    std::string& status, std::string& error) {
    CTlsConnection conn;
    const auto deadline = TlsDeadline();
    if (!conn.Connect(ctx.daemonPort, "127.0.0.1", ctx.rootCertFile, deadline, error))
        return false;
    const std::string body =
        "request=" + FormEncoded(
                         "{\"id\":\"nv-doctor\",\"tabid\":\"nv-doctor\",\"origin\":\"nv-doctor\","
                         "\"callback\":\"\",\"init\":\"get_versions\",\"m\":\"nv-doctor\"}");
    const std::string request =
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ctx.daemonPort) +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    std::string reply;
    CScopedWipe wipeReply(reply);
    if (!conn.Send(request, deadline) || !conn.ReceiveAll(reply, 1 << 20, deadline)) {
        error = "no complete reply to the version request within the time allowed";
        return false;
    }
    const size_t head = reply.find("\r\n\r\n");
    if (reply.compare(0, 12, "HTTP/1.1 200") != 0 || head == std::string::npos) {
        error = "the daemon refused the version request";
        return false;
    }
    // Only the head of the envelope is read: the version members and the status come before the
    // module's reply, so the reply itself is never copied out of the wiped buffer.
    const size_t cut = reply.find(", \"reply\":", head);
    CDM_Json root;
    if (cut == std::string::npos ||
        root.Parse(reply.substr(head + 4, cut - head - 4) + " } }") != 0) {
        error = "the reply to the version request is not the envelope expected";
        return false;
    }
    std::string text;
    if (root.GetValueString("daemon", text) == 0)
        daemon = Unquoted(text);
    CDM_Json m;
    if (root.GetValueString("m", text) == 0 && m.Parse(text) == 0 &&
        m.GetValueString("version", text) == 0)
        module = Unquoted(text);
    CDM_Json response;
    if (root.GetValueString("response", text) == 0 && response.Parse(text) == 0 &&
        response.GetValueString("status", text) == 0)
        status = Unquoted(text);
    WipeString(text);
    root.Clear();
    response.Clear();
    return !daemon.empty() && !module.empty();
}

}  // namespace

void CheckModule(const DoctorContext& ctx, CDoctorReport& report) {
    struct stat st {};
    const std::string reinstall =
        "install the module vendor's package again (the Norrim Velstra package puts its sample "
        "module there only when none is present)";
    if (stat(ctx.modulePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        report.Add("module", CheckState::Bad, "no module at " + ctx.modulePath, reinstall);
    } else {
        bool crashed = false;
        const std::string result = LoadModuleInChild(ctx.modulePath, crashed);
        if (result == "OK") {
            report.Add("module", CheckState::Good,
                       ctx.modulePath +
                           " loads and exports InitSite_external, "
                           "InvokeSite_external and UnInitSite_external");
        } else if (result.rfind("OK ", 0) == 0) {
            report.Add("module", CheckState::Bad,
                       ctx.modulePath + " loads but lacks" + result.substr(2), reinstall);
        } else if (result.rfind("ERR ", 0) == 0) {
            report.Add("module", CheckState::Bad,
                       ctx.modulePath + " does not load: " + result.substr(4), reinstall);
        } else {
            report.Add("module", CheckState::Bad,
                       ctx.modulePath + ": " + (crashed ? result : "no answer from the loader"),
                       reinstall);
        }
    }

    if (!ctx.daemonAnswered) {
        report.Add("module version", CheckState::Warning,
                   "not asked: no daemon of this user answered");
        return;
    }
    std::string daemon, module, status, error;
    if (!DaemonVersions(ctx, daemon, module, status, error)) {
        report.Add("module version", CheckState::Warning, "the daemon did not report it: " + error);
        return;
    }
    const std::string detail = "the daemon (" + daemon + ") reports module version " + module;
    if (status == "TRUE")
        report.Add("module version", CheckState::Good, detail);
    else
        report.Add("module version", CheckState::Bad,
                   detail + ", but its module call failed (status " + status + ")",
                   "restart the daemon after the module is mended: the daemon loads it for each "
                   "new page session");
}
