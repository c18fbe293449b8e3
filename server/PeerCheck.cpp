// Refusing other users' connections: the owner of the client socket from sock_diag or the /proc
// tables, compared with the daemon's real user id.
#include "server/PeerCheck.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <civetweb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "support/DMLog.h"
#include "support/Owners.h"

namespace {

constexpr const char* kServerAddress = "127.0.0.1";  // the daemon listens on this address only
constexpr const char* kTcpTable = "/proc/net/tcp";
constexpr const char* kTcp6Table = "/proc/net/tcp6";

// The IPv4-mapped IPv6 form of an IPv4 address, as the table's four words.
void MappedWords(in_addr addr, uint32_t words[4]) {
    in6_addr mapped{};
    mapped.s6_addr[10] = 0xff;
    mapped.s6_addr[11] = 0xff;
    std::memcpy(&mapped.s6_addr[12], &addr.s_addr, 4);
    std::memcpy(words, mapped.s6_addr, 16);
}

bool SameEnd(const uint32_t words[4], uint16_t port, bool bIPv6, in_addr addr,
             uint16_t wantedPort) {
    if (port != wantedPort)
        return false;
    if (!bIPv6)
        return words[0] == static_cast<uint32_t>(addr.s_addr);
    uint32_t mapped[4];
    MappedWords(addr, mapped);
    return std::memcmp(words, mapped, sizeof(mapped)) == 0;
}

// ---- sock_diag ------------------------------------------------------------------------------

// The netlink socket of one worker thread, opened on first use and closed when the thread ends.
// Kept open because opening one costs several times as much as the lookup itself.
class CDiagSocket {
public:
    int Fd() {
        if (!m_fd.Valid())
            m_fd.Reset(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        return m_fd.Get();
    }
    // Drops the socket after a failure, so the next lookup starts clean.
    void Reset() { m_fd.Reset(); }
    uint32_t NextSeq() { return ++m_nSeq; }

private:
    CUniqueFd m_fd;
    uint32_t m_nSeq = 0;
};

thread_local CDiagSocket t_diagSocket;

void LogRefusal(const PeerSocketId& id, int found, uid_t owner, uid_t user) {
    char client[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &id.clientAddr, client, sizeof(client));
    if (found == kPeerOwnerFound) {
        DMlogprint("[PEER] refused %s:%u : socket of uid %u, daemon uid %u\n", client,
                   static_cast<unsigned>(id.clientPort), static_cast<unsigned>(owner),
                   static_cast<unsigned>(user));
    } else {
        DMlogprint("[PEER] refused %s:%u : socket owner not found (%d)\n", client,
                   static_cast<unsigned>(id.clientPort), found);
    }
}

}  // namespace

bool RowIsClientEnd(const TcpTableRow& row, const PeerSocketId& id) {
    return SameEnd(row.localAddr, row.localPort, row.bIPv6, id.clientAddr, id.clientPort) &&
           SameEnd(row.remoteAddr, row.remotePort, row.bIPv6, id.serverAddr, id.serverPort);
}

int PeerOwnerFromSockDiag(const PeerSocketId& id, uid_t& owner) {
    const int fd = t_diagSocket.Fd();
    if (fd < 0)
        return kPeerOwnerUnavailable;

    // An exact lookup of one socket: the client end, whose source is the client and whose
    // destination is the server. The kernel also finds an IPv6 socket connected through an
    // IPv4-mapped address this way, since both live in the same connection hash.
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.nlh.nlmsg_len = sizeof(msg);
    msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.nlh.nlmsg_flags = NLM_F_REQUEST;
    msg.nlh.nlmsg_seq = t_diagSocket.NextSeq();
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0U;
    msg.req.id.idiag_sport = htons(id.clientPort);
    msg.req.id.idiag_dport = htons(id.serverPort);
    msg.req.id.idiag_src[0] = id.clientAddr.s_addr;
    msg.req.id.idiag_dst[0] = id.serverAddr.s_addr;
    msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &msg, sizeof(msg), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) !=
        static_cast<ssize_t>(sizeof(msg))) {
        t_diagSocket.Reset();
        return kPeerOwnerUnavailable;
    }

    // The kernel answers while it handles the request, so the reply is queued by the time
    // sendto returns: reading without waiting never blocks a worker. Replies to earlier requests
    // that were not read (there should be none) are skipped by their sequence number.
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            t_diagSocket.Reset();
            return kPeerOwnerUnavailable;
        }
        // The messages of one datagram, each aligned; a length that does not fit ends the walk.
        const std::size_t total = static_cast<std::size_t>(n);
        for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= total;) {
            const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer + offset);
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > total - offset)
                break;
            offset += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_seq != msg.nlh.nlmsg_seq)
                continue;
            if (h->nlmsg_type == NLMSG_ERROR) {
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                    return kPeerOwnerUnavailable;
                const char* payload = reinterpret_cast<const char*>(h) + NLMSG_HDRLEN;
                const nlmsgerr* err = reinterpret_cast<const nlmsgerr*>(payload);
                // ENOENT also means that the TCP part of sock_diag is not in this kernel, so it is
                // not final: the text tables are read next.
                return err->error == -ENOENT ? kPeerOwnerNotFound : kPeerOwnerUnavailable;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                return kPeerOwnerUnavailable;
            const char* payload = reinterpret_cast<const char*>(h) + NLMSG_HDRLEN;
            const inet_diag_msg* diag = reinterpret_cast<const inet_diag_msg*>(payload);
            // The kernel answers for the socket it found; make sure it is the one asked about.
            if (ntohs(diag->id.idiag_sport) != id.clientPort ||
                ntohs(diag->id.idiag_dport) != id.serverPort)
                return kPeerOwnerNotFound;
            owner = static_cast<uid_t>(diag->idiag_uid);
            return kPeerOwnerFound;
        }
    }
}

int PeerOwnerFromTable(const char* tablePath, const PeerSocketId& id, uid_t& owner) {
    bool bFound = false;
    const bool bRead = ForEachTcpTableRow(tablePath, [&](const TcpTableRow& row) {
        if (!RowIsClientEnd(row, id))
            return true;
        owner = row.uid;
        bFound = true;
        return false;
    });
    if (!bRead)
        return kPeerOwnerUnavailable;
    return bFound ? kPeerOwnerFound : kPeerOwnerNotFound;
}

int FindPeerSocketOwner(const PeerSocketId& id, uid_t& owner) {
    int result = PeerOwnerFromSockDiag(id, owner);
    if (result == kPeerOwnerFound)
        return result;
    int v4 = PeerOwnerFromTable(kTcpTable, id, owner);
    if (v4 == kPeerOwnerFound)
        return v4;
    int v6 = PeerOwnerFromTable(kTcp6Table, id, owner);
    if (v6 == kPeerOwnerFound)
        return v6;
    // Not found is the answer when any of the three could look.
    if (result == kPeerOwnerNotFound || v4 == kPeerOwnerNotFound || v6 == kPeerOwnerNotFound)
        return kPeerOwnerNotFound;
    return kPeerOwnerUnavailable;
}

bool IsPeerOfUser(const PeerSocketId& id, uid_t user) {
    uid_t owner = 0;
    const int found = FindPeerSocketOwner(id, owner);
    if (found == kPeerOwnerFound && owner == user)
        return true;
    LogRefusal(id, found, owner, user);
    return false;
}

bool IsPeerOfThisUser(const mg_connection* conn) {
    const mg_request_info* info = conn != nullptr ? mg_get_request_info(conn) : nullptr;
    PeerSocketId id{};
    if (info == nullptr || info->remote_port <= 0 || info->remote_port > 0xFFFF ||
        info->server_port <= 0 || info->server_port > 0xFFFF ||
        inet_pton(AF_INET, info->remote_addr, &id.clientAddr) != 1 ||
        inet_pton(AF_INET, kServerAddress, &id.serverAddr) != 1) {
        DMlogprint("[PEER] refused : connection ends unknown\n");
        return false;
    }
    id.clientPort = static_cast<uint16_t>(info->remote_port);
    id.serverPort = static_cast<uint16_t>(info->server_port);
    return IsPeerOfUser(id, getuid());
}

bool IsConnectionOfThisUser(const mg_connection* conn) {
    // Only the address of the mark matters. CivetWeb resets the user data of its connection
    // object for every new connection, so a mark never outlives the connection it was set on.
    static const char checkedMark = 0;
    void* const mark = const_cast<char*>(&checkedMark);
    if (conn != nullptr && mg_get_user_connection_data(conn) == mark)
        return true;
    if (!IsPeerOfThisUser(conn))
        return false;
    mg_set_user_connection_data(conn, mark);
    return true;
}
