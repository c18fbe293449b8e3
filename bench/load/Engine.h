// The load engine: many TLS connections driven by epoll, each doing closed-loop request-reply
// round trips (HTTPS POST with keep-alive, HTTPS POST on a new connection per request, or WebSocket
// text frames), recording the latency of every round trip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvbench {

struct EngineConfig {
    std::string host = "127.0.0.1";
    int port = 4441;
    bool websocket = false;
    std::string path = "/";
    int conns = 1;
    int threads = 1;
    double durationS = 10;          // stop issuing requests after this long (0: no limit)
    std::uint64_t maxRequests = 0;  // stop after this many requests (0: no limit)
    double warmupS = 0;             // round trips completing earlier are not counted
    bool newConnPerRequest = false;
    int origins = 1;           // request r comes from origin r % origins
    std::uint64_t ids = 0;     // 0: id unique per request; else (r / origins) % ids
    std::string jsonTemplate;  // see RequestTemplate
    std::string pad;           // text for {pad}
    std::string expect;        // substring every reply body must contain ("" = no check)
    std::string dumpFile;      // the first complete response (raw bytes) is written here
    int timeoutMs = 10000;
    std::string caFile;
};

struct EngineResult {
    std::uint64_t completed = 0;  // round trips counted (after the warm-up)
    std::uint64_t errors = 0;     // failed connections, bad statuses, protocol errors
    std::uint64_t timeouts = 0;
    std::uint64_t expectMisses = 0;  // replies without the expected text
    std::uint64_t connects = 0;      // TLS handshakes completed
    std::uint64_t bytesIn = 0;
    double elapsedS = 0;  // measured window
    double clientCpuS = 0;
    std::vector<std::uint64_t> samplesNs;
};

// Runs the load; returns false when the configuration cannot be used (the reason goes to stderr).
bool RunEngine(const EngineConfig& cfg, EngineResult& result);

// The origin and id that request r uses.
std::string OriginFor(const EngineConfig& cfg, std::uint64_t r);
std::string IdFor(const EngineConfig& cfg, std::uint64_t r);

}  // namespace nvbench
