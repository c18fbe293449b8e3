// Refusing other users' connections. Every user of a machine shares 127.0.0.1 and the ports
// 4441-4445, so a page shown to another user can reach this user's daemon (and its module, with this
// user's certificates). Each connection is checked before anything else is done with its first
// request: the client end of the TCP connection is looked up in the kernel's socket tables, and
// unless that socket belongs to the daemon's real user id the request is refused.
//
// The owner is asked from the kernel's sock_diag netlink interface first (an exact lookup of one
// socket, about a microsecond with the per-thread netlink socket kept open); when that interface is
// missing or does not know the socket, the text tables /proc/net/tcp and /proc/net/tcp6 are read
// (the client may use an IPv6 socket with an IPv4-mapped address). A connection whose owner cannot
// be found at all is refused too: the check fails closed.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

#include "server/TcpTable.h"

struct mg_connection;

// The two ends of one IPv4 TCP connection to the daemon. Ports in host order; addresses as in
// struct in_addr (network order).
struct PeerSocketId {
    in_addr clientAddr;
    uint16_t clientPort;
    in_addr serverAddr;
    uint16_t serverPort;
};

// Results of the owner lookups.
constexpr int kPeerOwnerFound = 0;
constexpr int kPeerOwnerNotFound = -1;     // the lookup worked but knows no such socket
constexpr int kPeerOwnerUnavailable = -2;  // the lookup itself could not be made

// True when the row is the client end of the connection id: its local end is the client, its
// remote end the server, either as IPv4 addresses or as IPv4-mapped IPv6 addresses.
bool RowIsClientEnd(const TcpTableRow& row, const PeerSocketId& id);

// The owner of the client socket from the sock_diag netlink interface.
int PeerOwnerFromSockDiag(const PeerSocketId& id, uid_t& owner);
// The owner of the client socket from a text table in the /proc/net/tcp or tcp6 layout.
int PeerOwnerFromTable(const char* tablePath, const PeerSocketId& id, uid_t& owner);
// sock_diag first, then /proc/net/tcp, then /proc/net/tcp6.
int FindPeerSocketOwner(const PeerSocketId& id, uid_t& owner);

// The check made for every request: a connection whose first request passed IsPeerOfThisUser is
// marked (CivetWeb's per-connection user data, which it clears for every new connection), and its
// later requests pass without a lookup, as the owner of a connected socket cannot change. A refused
// connection is never marked, so each of its requests is checked, refused and logged again.
bool IsConnectionOfThisUser(const mg_connection* conn);
// The lookup behind it. True when the client socket of the connection belongs to the
// daemon's real user id (getuid()); otherwise logs the refusal and returns false. The server end is
// 127.0.0.1 (the only address the daemon listens on) at the connection's server port.
bool IsPeerOfThisUser(const mg_connection* conn);
// The same decision for a given connection id, with the log line on refusal (tests use it).
bool IsPeerOfUser(const PeerSocketId& id, uid_t user);
