// The kernel's TCP socket tables, /proc/net/tcp and /proc/net/tcp6, read row by row. One reader
// for the port test of the server start and the owner lookup of the peer check.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

// One row of /proc/net/tcp or /proc/net/tcp6. Each address is held as the four 32-bit words the
// table prints (an IPv4 table row fills word 0 only), in the kernel's byte order, that is the
// network-order value read as a host integer.
struct TcpTableRow {
    bool bIPv6;
    uint32_t localAddr[4];
    uint16_t localPort;
    uint32_t remoteAddr[4];
    uint16_t remotePort;
    unsigned state;
    uid_t uid;
    // The socket's inode (the column after the time-out), which /proc/<pid>/fd links name as
    // "socket:[inode]"; 0 when the row ends after the uid.
    unsigned long long inode;
};

// Parses one data row of either table (the column header does not parse). False for anything that
// is not a complete row: an address that is neither 8 nor 32 hexadecimal digits, a port beyond 16
// bits, or a missing uid column. The inode is read when the row has one.
bool ParseTcpTableRow(const char* line, TcpTableRow& row);

// Calls visit for every row of the table at tablePath that parses, in file order, until visit
// returns false. The first line is the column header and is never a row; only whole lines count,
// so the tail of an over-long line cannot pass for a row. False when the table cannot be opened.
bool ForEachTcpTableRow(const char* tablePath,
                        const std::function<bool(const TcpTableRow&)>& visit);
