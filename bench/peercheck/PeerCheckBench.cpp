// Cost of the peer check that every request pays: the sock_diag lookup (the usual road), the
// /proc table reading (the fallback), and the whole decision with the extra sockets a busy
// machine has. Prints microseconds per call, then the same figures as one key=value line for
// bench/run.sh; not a test.
//   nv_bench_peercheck [calls] [extra-connections]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "server/PeerCheck.h"

namespace {

struct Pair {
    int client = -1;
    int server = -1;
};

int Listener(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(fd, 512) != 0)
        std::exit(1);
    socklen_t len = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

Pair Connect(int listener, uint16_t port, PeerSocketId& id) {
    Pair p;
    p.client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(p.client, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
        std::exit(1);
    p.server = accept(listener, nullptr, nullptr);
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    getpeername(p.server, reinterpret_cast<sockaddr*>(&peer), &len);
    id.clientAddr = peer.sin_addr;
    id.clientPort = ntohs(peer.sin_port);
    id.serverAddr = sa.sin_addr;
    id.serverPort = port;
    return p;
}

double MicrosPerCall(int calls, const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i)
        fn();
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int extra = argc > 2 ? std::atoi(argv[2]) : 200;
    uint16_t port = 0;
    int listener = Listener(port);
    std::vector<Pair> others;
    PeerSocketId ignored{};
    for (int i = 0; i < extra; ++i)
        others.push_back(Connect(listener, port, ignored));
    PeerSocketId id{};
    Pair mine = Connect(listener, port, id);

    uid_t owner = 0;
    if (PeerOwnerFromSockDiag(id, owner) != kPeerOwnerFound)
        std::printf("sock_diag: socket not found\n");
    std::printf("peer check cost, %d calls, %d other connections open (%zu table rows)\n", calls,
                extra, 2 * others.size() + 3);
    const double sockDiag = MicrosPerCall(calls, [&] { PeerOwnerFromSockDiag(id, owner); });
    const double table =
        MicrosPerCall(calls / 10 + 1, [&] { PeerOwnerFromTable("/proc/net/tcp", id, owner); });
    const double decision = MicrosPerCall(calls, [&] { IsPeerOfUser(id, getuid()); });
    std::printf("  sock_diag lookup        %8.2f us/call\n", sockDiag);
    std::printf("  /proc/net/tcp fallback  %8.2f us/call\n", table);
    std::printf("  whole decision          %8.2f us/call\n", decision);
    std::printf(
        "mode=peercheck calls=%d rows=%zu sockdiag_us=%.3f table_us=%.3f decision_us=%.3f\n", calls,
        2 * others.size() + 3, sockDiag, table, decision);
    for (Pair& p : others) {
        close(p.client);
        close(p.server);
    }
    close(mine.client);
    close(mine.server);
    close(listener);
    return 0;
}
