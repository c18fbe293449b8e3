// Small socket helpers for the server tests: an owned descriptor, listeners on chosen addresses,
// and reading the kernel's TCP table.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Loopback.h"

namespace nvtest {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// A listening IPv4 socket on address:port (port 0: the kernel picks one). Invalid on failure.
inline Fd ListenV4(const char* address, unsigned short port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return Fd();
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1)
        return Fd();
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
        return Fd();
    if (listen(fd.Get(), 16) != 0)
        return Fd();
    return fd;
}

// A listening dual-stack IPv6 socket on [::]:port; it appears only in the IPv6 table.
inline Fd ListenV6DualStack(unsigned short port) {
    Fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return Fd();
    int zero = 0;
    if (setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero)) != 0)
        return Fd();
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    sa.sin6_addr = in6addr_any;
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
        return Fd();
    if (listen(fd.Get(), 16) != 0)
        return Fd();
    return fd;
}

inline unsigned short LocalPort(const Fd& fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

// A connected socket to 127.0.0.1:port, or an invalid one.
inline Fd ConnectV4(unsigned short port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return Fd();
    sockaddr_in sa = LoopbackAddress(port);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
        return Fd();
    return fd;
}

// Polls until 127.0.0.1:port accepts a connection or the deadline passes.
inline bool WaitUntilAccepting(unsigned short port,
                               std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ConnectV4(port).Valid())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// True when the IPv4 TCP table lists local port `port` in state `state` (hexadecimal number).
inline bool TableHasState(unsigned short port, unsigned state) {
    FILE* f = std::fopen("/proc/net/tcp", "r");
    if (f == nullptr)
        return false;
    char line[512];
    bool found = false;
    if (std::fgets(line, sizeof(line), f) != nullptr) {
        while (!found && std::fgets(line, sizeof(line), f) != nullptr) {
            int slot;
            unsigned la, lp, ra, rp, st;
            if (std::sscanf(line, " %d: %x:%x %x:%x %x", &slot, &la, &lp, &ra, &rp, &st) == 6 &&
                lp == port && st == state)
                found = true;
        }
    }
    std::fclose(f);
    return found;
}

}  // namespace nvtest
