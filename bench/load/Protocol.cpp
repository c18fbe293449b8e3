// Wire formats of the load client: request building and incremental response/frame parsing.
#include "bench/load/Protocol.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace nvbench {

std::string FormEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string BuildPostRequest(const std::string& host, const std::string& json, bool closeAfter) {
    const std::string body = "request=" + FormEncode(json);
    std::string req;
    req.reserve(body.size() + 256);
    req += "POST / HTTP/1.1\r\nHost: ";
    req += host;
    req +=
        "\r\nOrigin: https://bench.localhost\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
    req += std::to_string(body.size());
    req += "\r\n";
    if (closeAfter) {
        req += "Connection: close\r\n";
    }
    req += "\r\n";
    req += body;
    return req;
}

std::string BuildUpgradeRequest(const std::string& host, const std::string& path,
                                const std::string& origin) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
           "Origin: " +
           origin + "\r\n\r\n";
}

namespace {

// Case-insensitive search for a header line "name:" inside the head; returns the value or "".
std::string HeaderValue(const std::string& head, const char* name) {
    const std::size_t nameLen = std::strlen(name);
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const std::size_t lineStart = pos + 2;
        const std::size_t lineEnd = head.find("\r\n", lineStart);
        const std::size_t end = lineEnd == std::string::npos ? head.size() : lineEnd;
        if (end - lineStart > nameLen && head[lineStart + nameLen] == ':' &&
            strncasecmp(head.c_str() + lineStart, name, nameLen) == 0) {
            std::size_t v = lineStart + nameLen + 1;
            while (v < end && (head[v] == ' ' || head[v] == '\t')) {
                ++v;
            }
            return head.substr(v, end - v);
        }
        pos = lineEnd;
    }
    return std::string();
}

}  // namespace

HttpResponse ParseHttpResponse(const std::string& buf) {
    HttpResponse res;
    const std::size_t headEnd = buf.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        res.malformed = buf.size() > 64 * 1024;  // a head that never ends
        return res;
    }
    const std::string head = buf.substr(0, headEnd);
    if (head.compare(0, 5, "HTTP/") != 0) {
        res.malformed = true;
        return res;
    }
    const std::size_t sp = head.find(' ');
    if (sp == std::string::npos) {
        res.malformed = true;
        return res;
    }
    res.status = std::atoi(head.c_str() + sp + 1);
    std::string conn = HeaderValue(head, "Connection");
    for (char& c : conn) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    res.closeAfter = conn.find("close") != std::string::npos;
    res.bodyOffset = headEnd + 4;
    std::size_t bodyLen = 0;
    const std::string cl = HeaderValue(head, "Content-Length");
    if (cl.empty()) {
        if (res.status != 101) {
            res.malformed = true;
            return res;
        }
    } else {
        bodyLen = std::strtoull(cl.c_str(), nullptr, 10);
    }
    if (buf.size() >= res.bodyOffset + bodyLen) {
        res.complete = true;
        res.totalLength = res.bodyOffset + bodyLen;
    }
    return res;
}

std::string BuildClientFrame(int opcode, const std::string& payload, std::uint32_t maskKey) {
    std::string f;
    f.reserve(payload.size() + 14);
    f.push_back(static_cast<char>(0x80 | (opcode & 0x0F)));
    const std::size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>((n >> 8) & 0xFF));
        f.push_back(static_cast<char>(n & 0xFF));
    } else {
        f.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            f.push_back(static_cast<char>((static_cast<std::uint64_t>(n) >> shift) & 0xFF));
        }
    }
    unsigned char mask[4] = {
        static_cast<unsigned char>(maskKey >> 24), static_cast<unsigned char>(maskKey >> 16),
        static_cast<unsigned char>(maskKey >> 8), static_cast<unsigned char>(maskKey)};
    f.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < n; ++i) {
        f.push_back(static_cast<char>(static_cast<unsigned char>(payload[i]) ^ mask[i & 3]));
    }
    return f;
}

WsFrame ParseServerFrame(const std::string& buf) {
    WsFrame fr;
    if (buf.size() < 2) {
        return fr;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(buf.data());
    fr.fin = (p[0] & 0x80) != 0;
    fr.opcode = p[0] & 0x0F;
    const bool masked = (p[1] & 0x80) != 0;
    std::uint64_t len = p[1] & 0x7F;
    std::size_t off = 2;
    if (len == 126) {
        if (buf.size() < 4) {
            return fr;
        }
        len = (static_cast<std::uint64_t>(p[2]) << 8) | p[3];
        off = 4;
    } else if (len == 127) {
        if (buf.size() < 10) {
            return fr;
        }
        len = 0;
        for (int i = 0; i < 8; ++i) {
            len = (len << 8) | p[2 + i];
        }
        off = 10;
    }
    if (masked || len > (1ull << 30)) {
        fr.malformed = true;  // servers never mask; a gigabyte frame is not a reply
        return fr;
    }
    if (buf.size() >= off + len) {
        fr.complete = true;
        fr.payloadOffset = off;
        fr.payloadLength = static_cast<std::size_t>(len);
        fr.totalLength = off + static_cast<std::size_t>(len);
    }
    return fr;
}

RequestTemplate::RequestTemplate(const std::string& text) {
    static const struct {
        const char* name;
        Kind kind;
    } kNames[] = {{"{r}", Kind::R},
                  {"{id}", Kind::Id},
                  {"{origin}", Kind::Origin},
                  {"{conn}", Kind::Conn},
                  {"{pad}", Kind::Pad}};
    std::string literal;
    std::size_t i = 0;
    while (i < text.size()) {
        bool matched = false;
        if (text[i] == '{') {
            for (const auto& n : kNames) {
                const std::size_t len = std::strlen(n.name);
                if (text.compare(i, len, n.name) == 0) {
                    if (!literal.empty()) {
                        m_pieces.push_back({Kind::Literal, literal});
                        literal.clear();
                    }
                    m_pieces.push_back({n.kind, std::string()});
                    i += len;
                    matched = true;
                    break;
                }
            }
        }
        if (!matched) {
            literal.push_back(text[i++]);
        }
    }
    if (!literal.empty()) {
        m_pieces.push_back({Kind::Literal, literal});
    }
}

std::string RequestTemplate::Render(std::uint64_t r, const std::string& id,
                                    const std::string& origin, int conn,
                                    const std::string& pad) const {
    std::string out;
    out.reserve(256 + pad.size());
    for (const Piece& p : m_pieces) {
        switch (p.kind) {
            case Kind::Literal:
                out += p.text;
                break;
            case Kind::R:
                out += std::to_string(r);
                break;
            case Kind::Id:
                out += id;
                break;
            case Kind::Origin:
                out += origin;
                break;
            case Kind::Conn:
                out += std::to_string(conn);
                break;
            case Kind::Pad:
                out += pad;
                break;
        }
    }
    return out;
}

std::string DefaultRequestTemplate(bool park, const std::string& tabid) {
    std::string t = "{\"id\":\"{id}\",\"tabid\":\"" + tabid +
                    "\",\"cmd\":\"sign\",\"origin\":\"{origin}\","
                    "\"callback\":\"onReply\",\"module\":\"sample\",";
    if (park) {
        t += "\"use_getresult\":\"TRUE\",";
    }
    t += "\"data\":\"{pad}\"}";
    return t;
}

}  // namespace nvbench
