// The daemon's reply texts as pages receive them, written out independently of the code that makes
// them, so that tests compare replies byte for byte.
#pragma once

#include <cstddef>
#include <string>

// json-c's text of the reply envelope for an ordinary request (no version members).
inline std::string Envelope(const std::string& id, const std::string& tabid,
                            const std::string& callback, const std::string& status,
                            const std::string& escapedReply) {
    return "{ \"response\": { \"id\": \"" + id + "\", \"tabid\": \"" + tabid +
           "\", \"callback\": \"" + callback + "\", \"status\": \"" + status +
           "\", \"reply\": { \"reply\": { \"status\": \"\", \"reply\": \"" + escapedReply +
           "\" } } } }";
}

// The status line and header lines of every framed reply, up to Content-Length.
inline std::string ReplyHead(std::size_t contentLength) {
    return "HTTP/1.1 200 OK\r\n"
           "Access-Control-Allow-Headers: Content-Type\r\n"
           "Access-Control-Allow-Origin: *\r\n"
           "Access-Control-Max-Age: 10000\r\n"
           "Content-Type: text/html;charset=UTF-8\r\n"
           "Vary: Accept-Encoding\r\n"
           "Content-Security-Policy: default-src 'none'\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Content-Length: " +
           std::to_string(contentLength) + "\r\n\r\n";
}
