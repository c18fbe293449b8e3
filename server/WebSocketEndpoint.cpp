// WebSocket endpoint: pages may talk to the daemon over a WebSocket on the same TLS port as HTTP. The
// HTTP dispatch leaves the handshake to CivetWeb, which then calls the WebSocket callbacks on the
// worker thread that the connection keeps while it is open, and they call the functions here. Per
// connection only its slot (its Origin) and whether a close frame has been sent are kept; nothing is
// kept between the requests of its frames.
//
// How CivetWeb 1.15 treats frames before they reach MG_WebSocketDataCB (checked against the library
// as packaged, and held by the WebSocket tests):
//  - every frame is delivered as it arrives, with its first byte (FIN bit and opcode) and the payload
//    already unmasked; fragments are not joined, so a continuation frame arrives on its own;
//  - a ping (opcode 9) is NOT answered by CivetWeb itself (its own ping handling is off): it reaches
//    the data callback, which answers with a pong carrying the ping's payload, as RFC 6455 asks;
//  - a close (opcode 8) also reaches the data callback first. CivetWeb ends its read loop after a
//    close frame whatever the callback returns, and then closes the TCP connection without a close
//    frame of its own: the answering close frame, echoing the client's status code, is written here.
#include "server/WebSocketEndpoint.h"

#include <civetweb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/TlsCompat.h"
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

// What is kept of one open WebSocket: made by TakeWebSocketSlot, released by EndConnection. A
// WebSocket keeps its worker thread from the connect callback to the connection_close callback,
// and every callback of it runs there, so the slot is the worker thread's own (CivetWeb's user
// data of the connection carries the peer check's mark).
struct CWebSocketSlot {
    std::string origin;
    bool closeSent = false;
};

// The open WebSockets, in all and per Origin header.
class CWebSocketCounts {
public:
    // True when one more with this origin may open; with take, it then counts as open.
    bool Admit(const std::string& origin, bool take, int& openNow, int& openForOrigin) {
        CVexAutoLock lock(&m_mutex);
        auto found = m_perOrigin.find(origin);
        openNow = m_total;
        openForOrigin = found != m_perOrigin.end() ? found->second : 0;
        // Browsers send Origin with every handshake; without one the client is a program of the
        // daemon's own user (the peer check let it in), bounded by the total only.
        if (openNow >= kMaxOpenWebSockets ||
            (!origin.empty() && openForOrigin >= kMaxWebSocketsPerOrigin))
            return false;
        if (take) {
            ++m_perOrigin[origin];
            ++m_total;
        }
        return true;
    }
    void Release(const std::string& origin) {
        CVexAutoLock lock(&m_mutex);
        auto found = m_perOrigin.find(origin);
        if (found == m_perOrigin.end())
            return;
        if (--found->second <= 0)
            m_perOrigin.erase(found);
        --m_total;
    }
    int Total() {
        CVexAutoLock lock(&m_mutex);
        return m_total;
    }

private:
    CVexMutex m_mutex;
    std::map<std::string, int> m_perOrigin;
    int m_total = 0;
};

CWebSocketCounts& Counts() {
    static CWebSocketCounts s_counts;
    return s_counts;
}

std::string OriginOf(const mg_connection* conn) {
    const char* origin = mg_get_header(conn, "Origin");
    return origin != nullptr ? origin : "";
}

// Logs a handshake refused for the bounds; `stage` names the step.
bool Admit(const mg_connection* conn, bool take, const char* stage) {
    const std::string origin = OriginOf(conn);
    int openNow = 0, openForOrigin = 0;
    if (Counts().Admit(origin, take, openNow, openForOrigin))
        return true;
    DMlogprint("[WS][%u] %s : WebSocket refused, %d open, %d for origin (%s)\n", ThreadNumber(),
               stage, openNow, openForOrigin, origin.c_str());
    return false;
}

thread_local std::unique_ptr<CWebSocketSlot> t_slot;

CWebSocketSlot* SlotOf(const mg_connection* /*conn*/) {
    return t_slot.get();
}

// Gives the worker thread's slot back, if it holds one.
void ReleaseSlot() {
    std::unique_ptr<CWebSocketSlot> slot(std::move(t_slot));
    if (slot)
        Counts().Release(slot->origin);
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
    if (CWebSocketSlot* slot = SlotOf(conn))
        slot->closeSent = true;
}

// The client's close: answered with a close frame carrying its status code (none when it gave
// none), unless this side has already sent its close and this is the answer to it. The data
// callback then returns 0 and CivetWeb ends the connection.
void AnswerClose(mg_connection* conn, const char* data, std::size_t dataLen) {
    const bool hasCode = data != nullptr && dataLen >= 2;
    const unsigned code =
        hasCode ? (static_cast<unsigned char>(data[0]) << 8) | static_cast<unsigned char>(data[1])
                : 0;
    DMlogprint("[WS][%u] close code:%u\n", ThreadNumber(), code);
    CWebSocketSlot* slot = SlotOf(conn);
    if (slot != nullptr && slot->closeSent)
        return;
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, hasCode ? data : nullptr,
                       hasCode ? 2 : 0);
    if (slot != nullptr)
        slot->closeSent = true;
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
            mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_PONG, data, data != nullptr ? dataLen : 0);
            return 1;
        case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE:
            AnswerClose(conn, data, dataLen);
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

bool WebSocketMayOpen(const mg_connection* conn) {
    return Admit(conn, /*take=*/false, "websocket_upgrade");
}

bool TakeWebSocketSlot(const mg_connection* conn) {
    // The dispatch has looked already; this takes the slot, so that two handshakes at once cannot
    // both pass the last one.
    ReleaseSlot();  // none is left from an earlier connection (EndConnection ran), but be sure
    auto slot = std::make_unique<CWebSocketSlot>();
    slot->origin = OriginOf(conn);
    if (!Admit(conn, /*take=*/true, "websocket_connect"))
        return false;
    t_slot = std::move(slot);
    return true;
}

int OpenWebSocketCount() {
    return Counts().Total();
}

void EndConnection(const mg_connection* /*conn*/) {
    // Every connection ends here, on its worker thread: a connection the read guard ended is
    // logged with the reason, and a WebSocket gives its slot back.
    if (const char* why = NV_TakeTlsRefusal())
        DMlogprint("[TLS][%u] connection ended : %s\n", ThreadNumber(), why);
    ReleaseSlot();
}
