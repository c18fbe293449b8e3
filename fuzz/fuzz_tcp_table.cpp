// /proc/net/tcp text -> the port test of the server start (IsOpenPossiblePort with its table path)
// and the row reading of the peer check (the owner of a client socket from the tcp and tcp6
// tables). The first two input bytes pick the port, the third the address; the rest is the table.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "server/DMServer.h"
#include "server/PeerCheck.h"

namespace {

nvfuzz::CMemFile* g_table = nullptr;

const char* const kAddresses[] = {"127.0.0.1", "0.0.0.0",        "127.0.0.2",
                                  "10.1.2.3",  "not-an-address", "1.2.3"};

// An IPv4 row the row reader accepts reads the same with the scanf format the port test uses.
void CheckRowAgainstScanf(const char* line, const TcpTableRow& row) {
    if (row.bIPv6)
        return;
    int slot = 0;
    unsigned la = 0, lp = 0, ra = 0, rp = 0, st = 0, tx = 0, rx = 0;
    NV_FUZZ_CHECK(std::sscanf(line, " %d: %x:%x %x:%x %x %x:%x", &slot, &la, &lp, &ra, &rp, &st,
                              &tx, &rx) >= 6);
    NV_FUZZ_CHECK(la == row.localAddr[0] && lp == row.localPort);
    NV_FUZZ_CHECK(ra == row.remoteAddr[0] && rp == row.remotePort);
    NV_FUZZ_CHECK(st == row.state);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_table = new nvfuzz::CMemFile();  // lives for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t hi = nvfuzz::TakeByte(data, size);
    const uint8_t lo = nvfuzz::TakeByte(data, size);
    const uint8_t pick = nvfuzz::TakeByte(data, size);
    const unsigned short port = static_cast<unsigned short>(hi << 8 | lo);
    const char* address = kAddresses[pick % (sizeof(kAddresses) / sizeof(kAddresses[0]))];
    const std::string table = nvfuzz::AsText(data, size);
    g_table->Write(table);

    in_addr parsed{};
    const bool bDotted = inet_pton(AF_INET, address, &parsed) == 1;
    const int open = IsOpenPossiblePort(address, port, g_table->Path().c_str());
    NV_FUZZ_CHECK(bDotted ? (open == 0 || open == 1) : open == -1);
    // A port that appears nowhere in the text cannot be taken.
    if (bDotted && open == 0) {
        std::string lower = table;
        for (char& c : lower)
            if (c >= 'A' && c <= 'F')
                c = static_cast<char>(c - 'A' + 'a');
        char hex[8];
        std::snprintf(hex, sizeof(hex), "%x", port);
        NV_FUZZ_CHECK(lower.find(hex) != std::string::npos);
    }

    // The peer check's reading of the same text, line by line and as a table.
    std::size_t start = 0;
    while (start < table.size()) {
        std::size_t end = table.find('\n', start);
        std::string line =
            table.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? table.size() : end + 1;
        TcpTableRow row;
        if (ParseTcpTableRow(line.c_str(), row))
            CheckRowAgainstScanf(line.c_str(), row);
    }
    PeerSocketId id{};
    id.clientAddr = parsed;
    id.clientPort = port;
    inet_pton(AF_INET, "127.0.0.1", &id.serverAddr);
    id.serverPort = static_cast<uint16_t>(port ^ 0x1159);
    uid_t owner = 0;
    const int found = PeerOwnerFromTable(g_table->Path().c_str(), id, owner);
    NV_FUZZ_CHECK(found == kPeerOwnerFound || found == kPeerOwnerNotFound);
    if (found == kPeerOwnerFound)
        NV_FUZZ_CHECK(owner != static_cast<uid_t>(-1));
    return 0;
}
