// Port selection: crafted kernel tables for each rule of the scan, and the real table against
// real sockets on the loopback addresses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "TestSockets.h"
#include "server/DMServer.h"

namespace {

using nvtest::Fd;

const char* kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

// One table line in the kernel's layout: addresses as printed on this (little-endian) machine.
std::string Line(int slot, const char* localAddr, unsigned port, const char* state) {
    char buf[256];
    std::snprintf(buf, sizeof(buf),
                  "%4d: %s:%04X 00000000:0000 %s 00000000:00000000 00:00000000 00000000  1000      "
                  "  0 12345 1 "
                  "0000000000000000 100 0 0 10 0\n",
                  slot, localAddr, port, state);
    return buf;
}

class CraftedTable : public testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/nv_tcp_table_XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_dir = dirTemplate;
        m_path = m_dir + "/tcp";
    }
    void TearDown() override {
        std::remove(m_path.c_str());
        rmdir(m_dir.c_str());
    }
    const char* Write(const std::string& body) {
        std::ofstream out(m_path, std::ios::trunc);
        out << kHeader << body;
        return m_path.c_str();
    }

    std::string m_dir;
    std::string m_path;
};

}  // namespace

TEST_F(CraftedTable, IsOpenPossiblePort_BadAddress_ReturnsMinusOne) {
    const char* table = Write("");
    EXPECT_EQ(IsOpenPossiblePort(nullptr, 4441, table), -1);
    EXPECT_EQ(IsOpenPossiblePort("", 4441, table), -1);
    EXPECT_EQ(IsOpenPossiblePort("localhost", 4441, table), -1);
    EXPECT_EQ(IsOpenPossiblePort("::1", 4441, table), -1);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.256", 4441, table), -1);
}

TEST_F(CraftedTable, IsOpenPossiblePort_UnreadableTable_CountsAsFree) {
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, (m_dir + "/missing").c_str()), 1);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, static_cast<const char*>(nullptr)), 1);
    // A bad address is refused before the table is looked at.
    EXPECT_EQ(IsOpenPossiblePort("nonsense", 4441, (m_dir + "/missing").c_str()), -1);
}

TEST_F(CraftedTable, IsOpenPossiblePort_StateOfMatchingSocket_DecidesTakenOrFree) {
    struct Case {
        const char* state;
        int expected;
    } cases[] = {{"0A", 0}, {"01", 0}, {"02", 0}, {"08", 0}, {"06", 1}, {"07", 1}};
    for (const Case& c : cases) {
        const char* table = Write(Line(0, "0100007F", 4441, c.state));
        EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, table), c.expected) << "state " << c.state;
    }
}

TEST_F(CraftedTable, IsOpenPossiblePort_AddressOfSocket_MustBeOursOrAny) {
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(Line(0, "00000000", 4441, "0A"))), 0)
        << "a socket on every address takes the port";
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(Line(0, "0200007F", 4441, "0A"))), 1)
        << "127.0.0.2 is another address";
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.2", 4441, Write(Line(0, "0200007F", 4441, "0A"))), 0);
    EXPECT_EQ(IsOpenPossiblePort("192.168.1.10", 4441, Write(Line(0, "0A01A8C0", 4441, "0A"))), 0)
        << "addresses compare in the kernel's byte order";
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(Line(0, "7F000001", 4441, "0A"))), 1)
        << "the table is not in network byte order";
}

TEST_F(CraftedTable, IsOpenPossiblePort_OtherPortsAndBadLines_AreSkipped) {
    std::string body = Line(0, "0100007F", 4442, "0A") + Line(1, "0100007F", 0x4441, "0A") +
                       "garbage line\n" + "   2: 0100007F:115" + "\n";
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(body)), 1);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(body + Line(3, "0100007F", 4441, "0A"))),
              0);
}

TEST_F(CraftedTable, IsOpenPossiblePort_FirstMatchingLine_Decides) {
    std::string closedThenListening =
        Line(0, "0100007F", 4441, "06") + Line(1, "0100007F", 4441, "0A");
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(closedThenListening)), 1);
    std::string listeningThenClosed =
        Line(0, "0100007F", 4441, "0A") + Line(1, "0100007F", 4441, "06");
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write(listeningThenClosed)), 0);
}

TEST_F(CraftedTable, IsOpenPossiblePort_HeaderOnlyOrEmpty_CountsAsFree) {
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, Write("")), 1);
    std::ofstream(m_path, std::ios::trunc).close();
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, m_path.c_str()), 1);
    // Without a header the first socket line is taken for one and not examined.
    std::ofstream(m_path, std::ios::trunc) << Line(0, "0100007F", 4441, "0A");
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", 4441, m_path.c_str()), 1);
}

TEST(RealTable, IsOpenPossiblePort_ListenerOnLoopbackOrAny_IsTaken) {
    Fd loopback = nvtest::ListenV4("127.0.0.1", 0);
    ASSERT_TRUE(loopback.Valid());
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", nvtest::LocalPort(loopback)), 0);

    Fd any = nvtest::ListenV4("0.0.0.0", 0);
    ASSERT_TRUE(any.Valid());
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", nvtest::LocalPort(any)), 0);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.2", nvtest::LocalPort(any)), 0);

    unsigned short released = nvtest::LocalPort(loopback);
    loopback.Reset();
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", released), 1)
        << "a closed listener leaves nothing behind";
}

TEST(RealTable, IsOpenPossiblePort_ListenerOnAnotherLoopbackAddress_IsFree) {
    Fd other = nvtest::ListenV4("127.0.0.2", 0);
    ASSERT_TRUE(other.Valid());
    unsigned short port = nvtest::LocalPort(other);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", port), 1);
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.2", port), 0);
}

TEST(RealTable, IsOpenPossiblePort_OnlyTimeWaitLeft_IsFree) {
    // The side that closes first keeps the TIME_WAIT entry: here the accepted socket, whose local
    // port is the listener's.
    Fd listener = nvtest::ListenV4("127.0.0.1", 0);
    ASSERT_TRUE(listener.Valid());
    unsigned short port = nvtest::LocalPort(listener);
    Fd client = nvtest::ConnectV4(port);
    ASSERT_TRUE(client.Valid());
    Fd accepted(accept(listener.Get(), nullptr, nullptr));
    ASSERT_TRUE(accepted.Valid());
    listener.Reset();
    accepted.Reset();
    char byte;
    ASSERT_EQ(read(client.Get(), &byte, 1), 0) << "the peer's close arrives";
    client.Reset();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!nvtest::TableHasState(port, 0x06) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(nvtest::TableHasState(port, 0x06)) << "no TIME_WAIT entry for port " << port;
    EXPECT_EQ(IsOpenPossiblePort("127.0.0.1", port), 1);
}
