// Test helper: a WebSocket client written out frame by frame over the tests' TLS connection, so that
// masking, fragments, pings, binary and close frames can be produced at will.
#pragma once

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdint>
#include <string>

#include "TlsHttpClient.h"

namespace nvtest {

enum WsOpcode : int {
    kWsContinuation = 0x0,
    kWsText = 0x1,
    kWsBinary = 0x2,
    kWsClose = 0x8,
    kWsPing = 0x9,
    kWsPong = 0xA,
};

struct WsFrame {
    bool fin = false;
    int opcode = -1;
    std::string payload;
};

// The Sec-WebSocket-Accept value a server must answer a key with.
inline std::string WsAcceptFor(const std::string& key) {
    std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    unsigned char b64[64] = {};
    int n = EVP_EncodeBlock(b64, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(b64), static_cast<std::size_t>(n));
}

// One frame as a client sends it: masked unless told otherwise (servers must refuse unmasked client
// frames, and the tests want to be able to show that too).
inline std::string WsEncode(int opcode, const std::string& payload, bool fin = true,
                            bool mask = true) {
    std::string out;
    out += static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
    std::size_t n = payload.size();
    unsigned char maskBit = mask ? 0x80 : 0x00;
    if (n < 126) {
        out += static_cast<char>(maskBit | n);
    } else if (n <= 0xFFFF) {
        out += static_cast<char>(maskBit | 126);
        out += static_cast<char>((n >> 8) & 0xFF);
        out += static_cast<char>(n & 0xFF);
    } else {
        out += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF);
    }
    if (!mask)
        return out + payload;
    unsigned char key[4];
    RAND_bytes(key, sizeof(key));
    out.append(reinterpret_cast<char*>(key), 4);
    for (std::size_t i = 0; i < n; ++i)
        out += static_cast<char>(payload[i] ^ key[i % 4]);
    return out;
}

class WsClient {
public:
    enum class Read { kFrame, kTimeout, kClosed };

    // TCP, TLS and the WebSocket handshake on `path`; extraHeaders end in "\r\n" each.
    ::testing::AssertionResult Open(unsigned short port, const std::string& path = "/",
                                    const std::string& extraHeaders = std::string()) {
        if (!m_conn.Connect(port))
            return ::testing::AssertionFailure() << "TLS connection failed";
        return Upgrade(path, extraHeaders);
    }

    ::testing::AssertionResult Upgrade(const std::string& path = "/",
                                       const std::string& extraHeaders = std::string()) {
        unsigned char raw[16];
        RAND_bytes(raw, sizeof(raw));
        unsigned char b64[32] = {};
        int n = EVP_EncodeBlock(b64, raw, sizeof(raw));
        std::string key(reinterpret_cast<char*>(b64), static_cast<std::size_t>(n));
        std::string request =
            "GET " + path +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: " +
            key + "\r\nSec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n";
        if (!m_conn.Write(request))
            return ::testing::AssertionFailure() << "handshake write failed";
        HttpResponse resp = ReadHttpResponse(m_conn, m_pending, /*noBody=*/true);
        if (resp.Status() != 101)
            return ::testing::AssertionFailure() << "handshake answered: " << resp.raw;
        if (resp.Header("sec-websocket-accept") != WsAcceptFor(key))
            return ::testing::AssertionFailure() << "wrong Sec-WebSocket-Accept: " << resp.raw;
        return ::testing::AssertionSuccess();
    }

    bool Send(int opcode, const std::string& payload, bool fin = true, bool mask = true) {
        // One write per frame, so that the frame leaves in one piece.
        return m_conn.Write(WsEncode(opcode, payload, fin, mask));
    }
    bool SendText(const std::string& text) { return Send(kWsText, text); }

    Read ReadFrame(WsFrame& frame, std::chrono::milliseconds timeout = kIoTimeout) {
        auto deadline = Clock::now() + timeout;
        auto need = [&](std::size_t n) -> Read {
            while (m_pending.size() < n) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0)
                    return Read::kTimeout;
                auto r = m_conn.ReadSome(m_pending, left);
                if (r == TlsConnection::ReadResult::kClosed)
                    return Read::kClosed;
                if (r == TlsConnection::ReadResult::kTimeout)
                    return Read::kTimeout;
            }
            return Read::kFrame;
        };
        Read r = need(2);
        if (r != Read::kFrame)
            return r;
        auto b0 = static_cast<unsigned char>(m_pending[0]);
        auto b1 = static_cast<unsigned char>(m_pending[1]);
        std::size_t header = 2;
        uint64_t length = b1 & 0x7F;
        if (length == 126) {
            if ((r = need(4)) != Read::kFrame)
                return r;
            length = (static_cast<unsigned char>(m_pending[2]) << 8) |
                     static_cast<unsigned char>(m_pending[3]);
            header = 4;
        } else if (length == 127) {
            if ((r = need(10)) != Read::kFrame)
                return r;
            length = 0;
            for (int i = 2; i < 10; ++i)
                length = (length << 8) | static_cast<unsigned char>(m_pending[i]);
            header = 10;
        }
        bool masked = (b1 & 0x80) != 0;
        std::size_t maskLen = masked ? 4 : 0;
        if ((r = need(header + maskLen + length)) != Read::kFrame)
            return r;
        frame.fin = (b0 & 0x80) != 0;
        frame.opcode = b0 & 0x0F;
        frame.payload = m_pending.substr(header + maskLen, length);
        if (masked)
            for (std::size_t i = 0; i < frame.payload.size(); ++i)
                frame.payload[i] = static_cast<char>(frame.payload[i] ^ m_pending[header + i % 4]);
        m_pending.erase(0, header + maskLen + length);
        return Read::kFrame;
    }

    // True when the connection ends before the time-out with no further frame arriving.
    bool ExpectClosedWithoutFrame(std::chrono::milliseconds timeout = kIoTimeout) {
        if (!m_pending.empty())
            return false;
        std::string extra;
        bool closed = m_conn.ReadUntilClosed(extra, timeout);
        return closed && extra.empty();
    }

    // Nothing arrives within the given time, and the connection is still there.
    bool QuietFor(std::chrono::milliseconds time) {
        if (!m_pending.empty())
            return false;
        return m_conn.ReadSome(m_pending, time) == TlsConnection::ReadResult::kTimeout;
    }

    TlsConnection& Connection() { return m_conn; }
    void Close() { m_conn.Close(); }

private:
    TlsConnection m_conn;
    std::string m_pending;
};

inline const char* ReadName(WsClient::Read r) {
    switch (r) {
        case WsClient::Read::kFrame:
            return "frame";
        case WsClient::Read::kTimeout:
            return "timeout";
        default:
            return "closed";
    }
}

}  // namespace nvtest
