// WebSocket endpoint: pages may talk to the daemon over a WebSocket on the same TLS port as HTTP. The
// HTTP dispatch leaves the handshake to CivetWeb, which then calls the WebSocket callbacks on the
// worker thread that the connection keeps while it is open, and they call the functions here. No
// state is held per connection or between frames.
//
// How CivetWeb 1.15 treats frames before they reach MG_WebSocketDataCB (checked against the library
// as packaged, and held by the WebSocket tests):
//  - every frame is delivered as it arrives, with its first byte (FIN bit and opcode) and the payload
//    already unmasked; fragments are not joined, so a continuation frame arrives on its own;
//  - a ping (opcode 9) is NOT answered by CivetWeb itself: it reaches this callback, so the single pong
//    the page sees is the one written here, carrying "{}" whatever the ping carried;
//  - a close (opcode 8) also reaches this callback first. CivetWeb ends its read loop after a close
//    frame whatever the callback returns, and when the callback returns 0 it drops the TCP connection
//    without a close frame of its own; nothing is written here either.
#include "server/WebSocketEndpoint.h"

#include <civetweb.h>

#include <cstdint>
#include <string>

#include "support/DMLog.h"
#include "support/VexMutex.h"
#include "support/Wipe.h"

const char* const kWebSocketPlaceholder = "{}";

namespace {

const char* const kObjectPlaceholder =
    "[object Object]";  // what a page sends when it forgot JSON.stringify
constexpr std::size_t kPlaceholderLength = 2;

unsigned ThreadNumber() {
    return static_cast<unsigned>(GetCurrentThreadId());
}

// A text frame written whole with one mg_write, so that it goes out as one TLS record: CivetWeb's
// mg_websocket_write writes the frame header and the payload separately, two records and two TLS
// writes per reply. The frame is what CivetWeb would send: final, unmasked (a server's frames are
// never masked), with the shortest length encoding; CivetWeb's connection lock is held around the
// write as mg_websocket_write holds it. The frame carries the reply and is wiped. As below, a
// failed write is left to CivetWeb, whose next read on the connection ends it.
void WriteTextFrame(mg_connection* conn, const std::string& payload) {
    unsigned char head[10];
    std::size_t headLen = 0;
    const std::size_t length = payload.size();
    head[headLen++] = 0x80u | MG_WEBSOCKET_OPCODE_TEXT;
    if (length < 126) {
        head[headLen++] = static_cast<unsigned char>(length);
    } else if (length <= 0xFFFF) {
        head[headLen++] = 126;
        head[headLen++] = static_cast<unsigned char>(length >> 8);
        head[headLen++] = static_cast<unsigned char>(length);
    } else {
        head[headLen++] = 127;
        for (int shift = 56; shift >= 0; shift -= 8)
            head[headLen++] = static_cast<unsigned char>(static_cast<uint64_t>(length) >> shift);
    }
    std::string frame;
    CScopedWipe wipeFrame(frame);
    frame.reserve(headLen + length);
    frame.append(reinterpret_cast<const char*>(head), headLen);
    frame.append(payload);
    mg_lock_connection(conn);
    mg_write(conn, frame.data(), frame.size());
    mg_unlock_connection(conn);
}

// The results of mg_websocket_write are not examined: a failed write means the connection is gone,
// and CivetWeb's own read on it then ends the connection.
void WritePlaceholderAndClose(mg_connection* conn) {
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, kWebSocketPlaceholder, kPlaceholderLength);
    // Returning 1 afterwards keeps CivetWeb reading until the client answers with its own close.
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, nullptr, 0);
}

int HandleTextFrame(mg_connection* conn, const char* data, std::size_t dataLen,
                    IDMRequestSink* sink) {
    std::string text;
    CScopedWipe wipeText(text);
    if (data != nullptr && dataLen > 0)
        text.assign(data, dataLen);
    DMlogprint("[WS][%u] text:%s\n", ThreadNumber(), text.c_str());

    if (text.empty() || text == kObjectPlaceholder) {
        WritePlaceholderAndClose(conn);
        return 1;
    }

    std::string reply;
    CScopedWipe wipeReply(reply);
    // The request information stays that of the handshake for the connection's whole life, so this
    // is the Origin header of the upgrade request: every frame of the connection belongs to the
    // page that opened it, whatever its "origin" member says.
    if (sink != nullptr)
        sink->HandleRequestWS(text.c_str(), mg_get_header(conn, "Origin"), reply);
    DMlogprint("[WS] response :%s\n", reply.c_str());
    // An empty reply sends nothing and keeps the connection open for the next frame.
    if (!reply.empty())
        WriteTextFrame(conn, reply);
    return 1;
}

}  // namespace

int HandleWebSocketFrame(mg_connection* conn, int bits, const char* data, std::size_t dataLen,
                         IDMRequestSink* sink) {
    // The whole first byte is logged, so a final text frame shows as 0x00000081.
    DMlogprint("[WS][%u] op:0x%08X data_len:%d\n", ThreadNumber(), static_cast<unsigned>(bits),
               static_cast<int>(dataLen));
    switch (bits & 0x0F) {
        case MG_WEBSOCKET_OPCODE_TEXT:
            return HandleTextFrame(conn, data, dataLen, sink);
        case MG_WEBSOCKET_OPCODE_PING:
            mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_PONG, kWebSocketPlaceholder,
                               kPlaceholderLength);
            return 1;
        case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE:
            return 0;
        default:  // continuation, binary, pong, reserved
            WritePlaceholderAndClose(conn);
            return 1;
    }
}

void LogWebSocketConnect(const mg_connection* conn) {
    DMlogprint("[WS][%u] websocket_connect : %p\n", ThreadNumber(), static_cast<const void*>(conn));
}

void LogWebSocketReady(const mg_connection* conn) {
    DMlogprint("[WS][%u] websocket_ready : %p\n", ThreadNumber(), static_cast<const void*>(conn));
}
