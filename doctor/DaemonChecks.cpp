// The daemon and its ports: which process of this user serves, who holds each of 4441-4445, and
// whether a TLS handshake with the daemon verifies against the installed root CA. Also the one
// request the tool makes ("get_versions"), whose reply is read for version numbers only.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "doctor/Doctor.h"
#include "doctor/DoctorInternal.h"
#include "nv_config.h"
#include "server/TcpTable.h"
#include "support/Owners.h"
#include "support/ProcessUtil.h"
#include "support/Wipe.h"

namespace {

using Clock = CTlsConnection::Clock;

constexpr unsigned short kFirstPort = 4441;
constexpr unsigned short kLastPort = 4445;
constexpr unsigned kStateListen = 0x0A;
// Each exchange with the daemon (a handshake, the version request) gets this long: ample for a
// daemon on a loaded machine, and after one exchange has run out the others are not tried, so a
// daemon that accepts connections but never answers costs this much and no more.
constexpr int kTlsStepMs = 4000;

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string UserName(long uid) {
    if (uid < 0)
        return "an unknown user";
    struct passwd* pw = getpwuid(static_cast<uid_t>(uid));
    return pw != nullptr ? std::string(pw->pw_name) : "uid " + std::to_string(uid);
}

// The short name of a process from /proc/<pid>/comm (readable for every user's processes).
std::string ProcessName(int pid) {
    std::string name = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return name.empty() ? "?" : name;
}

// When the process started, from its start time in clock ticks after boot and the boot time.
std::string ProcessStart(int pid) {
    std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return "?";
    std::istringstream rest(stat.substr(paren + 1));
    std::string field;
    unsigned long long ticks = 0;
    // Fields after the name: state is field 3, the start time field 22.
    for (int i = 3; i <= 22 && rest >> field; ++i)
        if (i == 22)
            ticks = std::strtoull(field.c_str(), nullptr, 10);
    std::istringstream procStat(ReadSmallFile("/proc/stat"));
    std::string line;
    long long boot = -1;
    while (std::getline(procStat, line))
        if (line.rfind("btime ", 0) == 0)
            boot = std::atoll(line.c_str() + 6);
    long hz = sysconf(_SC_CLK_TCK);
    if (boot < 0 || hz <= 0 || ticks == 0)
        return "?";
    return FormatUtc(static_cast<time_t>(boot + static_cast<long long>(ticks / hz)));
}

// Inodes of the sockets each process holds, for the processes whose descriptors this user may
// read (this user's own; every process when run as root).
std::map<unsigned long long, int> SocketOwners() {
    std::map<unsigned long long, int> owners;
    DirPtr proc(opendir("/proc"));
    if (!proc)
        return owners;
    while (struct dirent* e = readdir(proc.get())) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        DirPtr fds(opendir(fdDir.c_str()));
        if (!fds)
            continue;
        while (struct dirent* f = readdir(fds.get())) {
            char target[64];
            ssize_t n = readlinkat(dirfd(fds.get()), f->d_name, target, sizeof(target) - 1);
            if (n <= 0)
                continue;
            target[n] = '\0';
            unsigned long long inode = 0;
            if (std::sscanf(target, "socket:[%llu]", &inode) == 1)
                owners.emplace(inode, pid);
        }
    }
    return owners;
}

struct Listener {
    uid_t uid;
    unsigned long long inode;
};

// Listening TCP sockets on the fixed ports, from both tables (any address: a listener on every
// address keeps the daemon from 127.0.0.1 too).
std::map<unsigned short, std::vector<Listener>> ListenersOnFixedPorts() {
    std::map<unsigned short, std::vector<Listener>> result;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        ForEachTcpTableRow(table, [&result](const TcpTableRow& row) {
            if (row.state == kStateListen && row.localPort >= kFirstPort &&
                row.localPort <= kLastPort)
                result[row.localPort].push_back({row.uid, row.inode});
            return true;
        });
    }
    return result;
}

struct DaemonProcess {
    int pid;
    long uid;
};

// Every process, of any user, started with the program path (the first argument of its command
// line), as the single-instance rule finds them.
std::vector<DaemonProcess> ProcessesOf(const std::string& program) {
    std::vector<DaemonProcess> found;
    DMLinuxUtil_ForEachProcess([&](int id, const std::string& dir) {
        // The arguments are separated by zero bytes, so the text read is the program path.
        char cmdline[256];
        if (ReadFirstLine((dir + "/cmdline").c_str(), cmdline, sizeof(cmdline)) == 0 &&
            program == cmdline)
            found.push_back({id, DMLinuxUtil_ProcessRealUid(id)});
        return true;
    });
    return found;
}

}  // namespace

void CheckDaemonAndPorts(DoctorContext& ctx, CDoctorReport& report) {
    std::set<int> mine;
    std::map<long, std::vector<int>> othersByUid;
    for (const DaemonProcess& p : ProcessesOf(ctx.program)) {
        if (p.uid == static_cast<long>(ctx.uid))
            mine.insert(p.pid);
        else
            othersByUid[p.uid].push_back(p.pid);
    }

    const auto listeners = ListenersOnFixedPorts();
    const auto owners = listeners.empty() ? std::map<unsigned long long, int>() : SocketOwners();
    std::set<unsigned short> free;
    std::vector<DoctorCheck> portLines;
    for (unsigned short port = kFirstPort; port <= kLastPort; ++port) {
        const std::string name = "port " + std::to_string(port);
        auto it = listeners.find(port);
        if (it == listeners.end()) {
            free.insert(port);
            portLines.push_back({name, CheckState::Good, "free", ""});
            continue;
        }
        const Listener& l = it->second.front();
        auto owner = owners.find(l.inode);
        const int pid = owner != owners.end() ? owner->second : 0;
        if (l.uid == ctx.uid && pid > 0 && mine.count(pid) != 0) {
            if (ctx.daemonPort == 0) {
                ctx.daemonPort = port;
                ctx.daemonPid = pid;
            }
            portLines.push_back({name, CheckState::Good,
                                 "this user's daemon (pid " + std::to_string(pid) + ")", ""});
            continue;
        }
        if (l.uid != ctx.uid) {
            auto other = othersByUid.find(static_cast<long>(l.uid));
            const bool daemonOfThatUser =
                pid > 0 ? (other != othersByUid.end() &&
                           std::find(other->second.begin(), other->second.end(), pid) !=
                               other->second.end())
                        : other != othersByUid.end();
            if (daemonOfThatUser) {
                // Normal on a shared machine: that daemon refuses this user's pages, which go on
                // to the next port.
                std::string who = "another user's daemon (user " + UserName(l.uid);
                if (pid > 0)
                    who += ", pid " + std::to_string(pid);
                else if (other->second.size() == 1)
                    who += ", pid " + std::to_string(other->second.front());
                portLines.push_back({name, CheckState::Good,
                                     who + "); this user's pages are refused there and go on to "
                                           "the next port",
                                     ""});
                continue;
            }
            std::string who = "another program of user " + UserName(l.uid);
            if (pid > 0)
                who += " (" + ProcessName(pid) + ", pid " + std::to_string(pid) + ")";
            portLines.push_back(
                {name, CheckState::Warning,
                 who + "; pages probing this port reach that program, not the daemon", ""});
            continue;
        }
        std::string who = "another program of this user";
        if (pid > 0)
            who += " (" + ProcessName(pid) + ", pid " + std::to_string(pid) + ")";
        portLines.push_back({name, CheckState::Warning,
                             who + "; pages probing this port reach that program, not the daemon",
                             ""});
    }

    if (ctx.daemonPid != 0) {
        report.Add("daemon", CheckState::Good,
                   "running, pid " + std::to_string(ctx.daemonPid) + ", " + ctx.program +
                       ", since " + ProcessStart(ctx.daemonPid) + ", serving port " +
                       std::to_string(ctx.daemonPort));
    } else if (!mine.empty()) {
        std::string pids;
        for (int pid : mine)
            pids += (pids.empty() ? "" : ", ") + std::to_string(pid);
        report.Add("daemon", CheckState::Bad,
                   "a process of this user runs " + ctx.program + " (pid " + pids +
                       ") but serves none of the ports 4441-4445" +
                       (free.empty() ? " (all five are taken)" : ""),
                   "end it (kill " + std::to_string(*mine.begin()) +
                       ") and start the daemon again: " + ctx.program +
                       " -A; if it still serves nothing, see the credential file "
                       "check below");
    } else {
        std::string detail = "no daemon of this user runs (" + ctx.program + ")";
        if (free.empty())
            detail += "; all of the ports 4441-4445 are taken";
        else
            detail += "; the next start would serve on port " + std::to_string(*free.begin());
        report.Add("daemon", CheckState::Bad, detail,
                   "start it: " + ctx.program + " -A (or log out and in again; run " + ctx.program +
                       " -I once if it never starts at login)");
    }
    if (free.empty() && ctx.daemonPid == 0)
        report.Add("ports", CheckState::Bad, "no free port among 4441-4445",
                   "end the programs listed on the ports below, or have fewer users logged in");
    for (const DoctorCheck& c : portLines)
        report.Add(c.name, c.state, c.detail, c.advice);
}

// ---- TLS ----------------------------------------------------------------------------------------

bool CTlsConnection::Connect(unsigned short port, const std::string& host,
                             const std::string& rootCertFile, Clock::time_point deadline,
                             std::string& error) {
    m_ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_ctx) {
        error = "no TLS context";
        return false;
    }
    // Trust is exactly the installed root CA: no system store, as in a browser that has only the
    // databases -I writes.
    if (SSL_CTX_load_verify_locations(m_ctx.get(), rootCertFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        error = "the root CA file " + rootCertFile + " cannot be read";
        return false;
    }
    // The verification result is read after the handshake, so that a failure can be named.
    SSL_CTX_set_verify(m_ctx.get(), SSL_VERIFY_NONE, nullptr);

    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) {
            error = std::string("connect: ") + std::strerror(errno);
            return false;
        }
        if (!WaitFor(POLLOUT, deadline)) {
            m_bTimedOut = true;
            error = "no connection within the time allowed";
            return false;
        }
        int soError = 0;
        socklen_t len = sizeof(soError);
        getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) {
            error = std::string("connect: ") + std::strerror(soError);
            return false;
        }
    }

    m_ssl.reset(SSL_new(m_ctx.get()));
    if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd) != 1) {
        error = "no TLS connection object";
        return false;
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl.get());
    in_addr ip{};
    if (inet_pton(AF_INET, host.c_str(), &ip) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        SSL_set1_host(m_ssl.get(), host.c_str());
        SSL_set_tlsext_host_name(m_ssl.get(), host.c_str());
    }
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(m_ssl.get());
        if (rc == 1)
            break;
        int why = SSL_get_error(m_ssl.get(), rc);
        short events = why == SSL_ERROR_WANT_READ    ? POLLIN
                       : why == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (events == 0) {
            unsigned long e = ERR_peek_last_error();
            char text[256] = "the connection was closed during the handshake";
            if (e != 0)
                ERR_error_string_n(e, text, sizeof(text));
            ERR_clear_error();
            error = std::string("handshake failed: ") + text;
            return false;
        }
        if (!WaitFor(events, deadline)) {
            m_bTimedOut = true;
            error =
                "the daemon accepted the connection but did not complete the TLS handshake "
                "within the time allowed";
            return false;
        }
    }
    m_nVerify = SSL_get_verify_result(m_ssl.get());
    return true;
}

bool CTlsConnection::WaitFor(short events, Clock::time_point deadline) const {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd p = {m_fd, events, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool CTlsConnection::Send(const std::string& data, Clock::time_point deadline) {
    size_t done = 0;
    while (done < data.size()) {
        ERR_clear_error();
        int n = SSL_write(m_ssl.get(), data.data() + done, static_cast<int>(data.size() - done));
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int why = SSL_get_error(m_ssl.get(), n);
        short events = why == SSL_ERROR_WANT_READ    ? POLLIN
                       : why == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (events == 0 || !WaitFor(events, deadline))
            return false;
    }
    return true;
}

bool CTlsConnection::ReceiveAll(std::string& out, size_t limit, Clock::time_point deadline) {
    char buf[4096];
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(m_ssl.get(), buf, sizeof(buf));
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            WipeBuffer(buf, sizeof(buf));
            if (out.size() > limit)
                return false;
            continue;
        }
        int why = SSL_get_error(m_ssl.get(), n);
        // The daemon closes after the reply ("Connection: close"), with or without a TLS close.
        if (why == SSL_ERROR_ZERO_RETURN || why == SSL_ERROR_SYSCALL)
            return true;
        short events = why == SSL_ERROR_WANT_READ    ? POLLIN
                       : why == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (events == 0 || !WaitFor(events, deadline))
            return false;
    }
}

CTlsConnection::~CTlsConnection() {
    m_ssl.reset();
    if (m_fd >= 0)
        close(m_fd);
}

Clock::time_point TlsDeadline() {
    return Clock::now() + std::chrono::milliseconds(kTlsStepMs);
}

void CheckDaemonTls(DoctorContext& ctx, CDoctorReport& report) {
    if (ctx.daemonPort == 0) {
        report.Add("tls", CheckState::Warning, "not checked: no daemon of this user serves");
        return;
    }
    for (const char* host : {"127.0.0.1", "localhost"}) {
        const std::string name = std::string("tls ") + host;
        if (ctx.daemonSilent) {
            report.Add(name, CheckState::Bad,
                       "not tried: the daemon did not answer the handshake before",
                       "restart the daemon (kill " + std::to_string(ctx.daemonPid) + "; then " +
                           ctx.program + " -A)");
            continue;
        }
        CTlsConnection conn;
        std::string error;
        if (!conn.Connect(ctx.daemonPort, host, ctx.rootCertFile, TlsDeadline(), error)) {
            ctx.daemonSilent = conn.TimedOut();
            report.Add(name, CheckState::Bad,
                       "port " + std::to_string(ctx.daemonPort) + ": " + error,
                       "restart the daemon (kill " + std::to_string(ctx.daemonPid) + "; then " +
                           ctx.program + " -A); if it stays silent, see the credential file check");
            continue;
        }
        ctx.daemonAnswered = true;
        long verify = conn.VerifyResult();
        if (verify == X509_V_OK) {
            report.Add(name, CheckState::Good,
                       "handshake on port " + std::to_string(ctx.daemonPort) +
                           " verified against " + ctx.rootCertFile + " for " + host);
        } else {
            report.Add(name, CheckState::Bad,
                       "handshake on port " + std::to_string(ctx.daemonPort) +
                           " does not verify against " + ctx.rootCertFile + " for " + host + ": " +
                           X509_verify_cert_error_string(verify),
                       "the daemon serves credentials the installed root CA did not issue: restart "
                       "it (kill " +
                           std::to_string(ctx.daemonPid) + "; " + ctx.program +
                           " -A); if it persists, issue new credentials (see the credential "
                           "file check)");
        }
    }
}
