// Reading the kernel's TCP socket tables.
#include "server/TcpTable.h"

#include <cstdio>
#include <cstring>

#include "support/Owners.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

void SkipSpaces(const char*& p) {
    while (IsSpace(*p))
        ++p;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads 1 to maxDigits hexadecimal digits; false when there are none or more than maxDigits.
bool ReadHex(const char*& p, int maxDigits, uint32_t& value) {
    value = 0;
    int digits = 0;
    for (int d; (d = HexDigit(*p)) >= 0; ++p) {
        if (++digits > maxDigits)
            return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return digits > 0;
}

// An address of 8 digits (IPv4 table) or 32 digits (IPv6 table: four words of 8 digits each).
bool ReadAddress(const char*& p, uint32_t words[4], bool& bIPv6) {
    const char* start = p;
    while (HexDigit(*p) >= 0)
        ++p;
    const long digits = p - start;
    if (digits != 8 && digits != 32)
        return false;
    bIPv6 = digits == 32;
    words[0] = words[1] = words[2] = words[3] = 0;
    for (long w = 0; w < digits / 8; ++w) {
        const char* q = start + w * 8;
        uint32_t value = 0;
        for (int i = 0; i < 8; ++i)
            value = (value << 4) | static_cast<uint32_t>(HexDigit(q[i]));
        words[w] = value;
    }
    return true;
}

bool ReadEndpoint(const char*& p, uint32_t words[4], uint16_t& port, bool& bIPv6) {
    SkipSpaces(p);
    if (!ReadAddress(p, words, bIPv6) || *p != ':')
        return false;
    ++p;
    uint32_t value = 0;
    if (!ReadHex(p, 4, value))
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// Skips one blank-separated column; false when there is none.
bool SkipColumn(const char*& p) {
    SkipSpaces(p);
    const char* start = p;
    while (*p != '\0' && !IsSpace(*p) && *p != '\n')
        ++p;
    return p != start;
}

}  // namespace

bool ParseTcpTableRow(const char* line, TcpTableRow& row) {
    if (line == nullptr)
        return false;
    const char* p = line;
    // "sl" column: decimal slot number and a colon.
    SkipSpaces(p);
    const char* start = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (p == start || *p != ':')
        return false;
    ++p;

    bool bLocal6 = false;
    bool bRemote6 = false;
    if (!ReadEndpoint(p, row.localAddr, row.localPort, bLocal6))
        return false;
    if (!ReadEndpoint(p, row.remoteAddr, row.remotePort, bRemote6))
        return false;
    if (bLocal6 != bRemote6)
        return false;
    row.bIPv6 = bLocal6;

    SkipSpaces(p);
    uint32_t state = 0;
    // The state is a column of its own: "0X1" is not state 0 followed by more columns.
    if (!ReadHex(p, 2, state) || !IsSpace(*p))
        return false;
    row.state = state;
    // tx_queue:rx_queue, tr:tm->when, retrnsmt.
    for (int i = 0; i < 3; ++i)
        if (!SkipColumn(p))
            return false;

    SkipSpaces(p);
    start = p;
    unsigned long long uid = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uid = uid * 10 + static_cast<unsigned>(*p - '0');
        if (uid > 0xFFFFFFFEULL)
            return false;  // (uid_t)-1 is no user
    }
    if (p == start || !(IsSpace(*p) || *p == '\n' || *p == '\0'))
        return false;
    row.uid = static_cast<uid_t>(uid);
    // timeout, then inode: optional, a row that ends here is still a row.
    row.inode = 0;
    const char* q = p;
    if (SkipColumn(q)) {
        SkipSpaces(q);
        unsigned long long inode = 0;
        const char* digits = q;
        for (; *q >= '0' && *q <= '9' && inode <= 0xFFFFFFFFFFFFFFFULL; ++q)
            inode = inode * 10 + static_cast<unsigned>(*q - '0');
        if (q != digits && (IsSpace(*q) || *q == '\n' || *q == '\0'))
            row.inode = inode;
    }
    return true;
}

bool ForEachTcpTableRow(const char* tablePath,
                        const std::function<bool(const TcpTableRow&)>& visit) {
    FilePtr table(tablePath != nullptr ? std::fopen(tablePath, "re") : nullptr);
    if (!table)
        return false;
    char line[512];
    for (bool bHeader = true; std::fgets(line, sizeof(line), table.get()) != nullptr;
         bHeader = false) {
        const bool bWholeLine = std::strchr(line, '\n') != nullptr || std::feof(table.get()) != 0;
        TcpTableRow row;
        if (!bHeader && bWholeLine && ParseTcpTableRow(line, row) && !visit(row))
            break;
        while (!bWholeLine) {
            int c = std::fgetc(table.get());
            if (c == '\n' || c == EOF)
                break;
        }
    }
    return true;
}
