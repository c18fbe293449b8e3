// The epoll-driven load engine. One event loop per client thread; each connection is a small state
// machine (connect, TLS handshake, optional WebSocket upgrade, then send / receive round trips).
#include "bench/load/Engine.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/load/Protocol.h"
#include "bench/load/Stats.h"
#include "bench/load/TlsClient.h"

namespace nvbench {

std::string OriginFor(const EngineConfig& cfg, std::uint64_t r) {
    if (cfg.origins <= 1) {
        return "https://bench.localhost";
    }
    return "https://o" + std::to_string(r % static_cast<std::uint64_t>(cfg.origins)) +
           ".bench.localhost";
}

std::string IdFor(const EngineConfig& cfg, std::uint64_t r) {
    if (cfg.ids == 0) {
        return "q" + std::to_string(r);
    }
    const std::uint64_t origins = cfg.origins <= 1 ? 1 : static_cast<std::uint64_t>(cfg.origins);
    return "k" + std::to_string((r / origins) % cfg.ids);
}

namespace {

enum class State { Waiting, Connecting, Handshaking, Sending, Receiving, Done };

struct Conn {
    int index = 0;
    State st = State::Waiting;
    CFd fd;
    SslPtr ssl;
    bool awaitingUpgrade = false;
    std::string out;
    std::size_t outOff = 0;
    std::string in;
    std::uint64_t tStart = 0;  // start of the current round trip (of the connect, per-request mode)
    std::uint64_t tState = 0;  // when the current wait began, for the time-out
    std::uint64_t retryAt = 0;  // Waiting: when to try connecting again
    std::uint32_t events = 0;   // epoll interest currently registered (0: not registered)
    std::uint64_t r = 0;
    bool hasRequest = false;
    int failuresInRow = 0;
};

struct Shared {
    const EngineConfig* cfg = nullptr;
    SSL_CTX* ctx = nullptr;
    RequestTemplate* tmpl = nullptr;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> dumped{false};
    std::uint64_t start = 0;
    std::uint64_t warmupEnd = 0;
    std::uint64_t end = 0;  // 0: no deadline
    std::string hostHeader;
};

class CWorker {
public:
    CWorker(Shared& shared, std::vector<int> indices)
        : m_sh(shared), m_indices(std::move(indices)) {}
    void Run();
    EngineResult& Result() { return m_res; }
    std::uint64_t LastCompletion() const { return m_lastCompletion; }

private:
    void StartConnection(Conn& c);
    bool AssignRequest(Conn& c);
    void BuildRequest(Conn& c);
    void Drive(Conn& c);
    void OnResponse(Conn& c, int status, bool ok, bool closeAfter, const std::string& body,
                    const std::string& raw);
    void Fail(Conn& c, bool timeout);
    void CloseConn(Conn& c);
    void Want(Conn& c, std::uint32_t ev);
    bool Running(std::uint64_t now) const { return m_sh.end == 0 || now < m_sh.end; }

    Shared& m_sh;
    std::vector<int> m_indices;
    std::vector<std::unique_ptr<Conn>> m_conns;
    CFd m_ep;
    EngineResult m_res;
    std::uint64_t m_lastCompletion = 0;
    std::uint32_t m_mask = 0x9E3779B9;
};

void CWorker::Want(Conn& c, std::uint32_t ev) {
    if (c.events == ev) {
        return;
    }
    epoll_event e{};
    e.events = ev;
    e.data.ptr = &c;
    if (epoll_ctl(m_ep.Get(), c.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.fd.Get(), &e) == 0) {
        c.events = ev;
    }
}

void CWorker::CloseConn(Conn& c) {
    if (c.fd.Get() >= 0) {
        if (c.events != 0) {
            epoll_ctl(m_ep.Get(), EPOLL_CTL_DEL, c.fd.Get(), nullptr);
        }
        SetAbortiveClose(c.fd.Get());
    }
    c.events = 0;
    c.ssl.reset();
    c.fd.Reset();
    c.in.clear();
    c.out.clear();
    c.outOff = 0;
    c.awaitingUpgrade = false;
}

bool CWorker::AssignRequest(Conn& c) {
    const std::uint64_t now = NowNs();
    if (!Running(now)) {
        return false;
    }
    const std::uint64_t r = m_sh.next.fetch_add(1);
    if (m_sh.cfg->maxRequests != 0 && r >= m_sh.cfg->maxRequests) {
        return false;
    }
    c.r = r;
    c.hasRequest = true;
    return true;
}

void CWorker::BuildRequest(Conn& c) {
    const EngineConfig& cfg = *m_sh.cfg;
    const std::string json =
        m_sh.tmpl->Render(c.r, IdFor(cfg, c.r), OriginFor(cfg, c.r), c.index, cfg.pad);
    if (cfg.websocket) {
        m_mask ^= m_mask << 13;
        m_mask ^= m_mask >> 17;
        m_mask ^= m_mask << 5;
        c.out = BuildClientFrame(1, json, m_mask);
    } else {
        c.out = BuildPostRequest(m_sh.hostHeader, json, cfg.newConnPerRequest);
    }
    c.outOff = 0;
    c.st = State::Sending;
    c.tState = NowNs();
    if (!cfg.newConnPerRequest) {
        c.tStart = c.tState;
    }
}

void CWorker::StartConnection(Conn& c) {
    CloseConn(c);
    c.hasRequest = false;
    if (m_sh.cfg->newConnPerRequest && !AssignRequest(c)) {
        c.st = State::Done;
        return;
    }
    if (!Running(NowNs())) {
        c.st = State::Done;
        return;
    }
    c.tStart = c.tState = NowNs();
    c.fd.Reset(StartTcpConnect(m_sh.cfg->host, m_sh.cfg->port, /*nonBlocking=*/true));
    if (c.fd.Get() < 0) {
        Fail(c, false);
        return;
    }
    c.ssl.reset(SSL_new(m_sh.ctx));
    if (!c.ssl || SSL_set_fd(c.ssl.get(), c.fd.Get()) != 1) {
        Fail(c, false);
        return;
    }
    SSL_set_connect_state(c.ssl.get());
    c.st = State::Connecting;
    Want(c, EPOLLOUT);
}

void CWorker::Fail(Conn& c, bool timeout) {
    ERR_clear_error();
    if (timeout) {
        ++m_res.timeouts;
    } else {
        ++m_res.errors;
    }
    CloseConn(c);
    // A server that refuses connections must not turn the client into a busy loop: back off
    // after repeated failures.
    ++c.failuresInRow;
    c.st = State::Waiting;
    c.retryAt = NowNs() + (c.failuresInRow > 3 ? 100000000ull : 0);
}

void CWorker::OnResponse(Conn& c, int status, bool ok, bool closeAfter, const std::string& body,
                         const std::string& raw) {
    const EngineConfig& cfg = *m_sh.cfg;
    const std::uint64_t now = NowNs();
    if (c.awaitingUpgrade) {
        c.awaitingUpgrade = false;
        if (status != 101) {
            Fail(c, false);
            return;
        }
    } else {
        c.failuresInRow = 0;
        m_res.bytesIn += raw.size();
        if (!ok) {
            ++m_res.errors;
        } else if (now >= m_sh.warmupEnd) {
            ++m_res.completed;
            m_res.samplesNs.push_back(now - c.tStart);
            m_lastCompletion = now;
            if (!cfg.expect.empty() && body.find(cfg.expect) == std::string::npos) {
                ++m_res.expectMisses;
            }
        }
        c.hasRequest = false;
        if (!cfg.dumpFile.empty() && !m_sh.dumped.exchange(true)) {
            if (std::FILE* f = std::fopen(cfg.dumpFile.c_str(), "wb")) {
                std::fwrite(raw.data(), 1, raw.size(), f);
                std::fclose(f);
            }
        }
        if (cfg.newConnPerRequest || closeAfter) {
            StartConnection(c);
            return;
        }
    }
    if (!AssignRequest(c)) {
        CloseConn(c);
        c.st = State::Done;
        return;
    }
    BuildRequest(c);
}

void CWorker::Drive(Conn& c) {
    const EngineConfig& cfg = *m_sh.cfg;
    char buf[16384];
    for (;;) {
        switch (c.st) {
            case State::Waiting:
            case State::Done:
                return;
            case State::Connecting: {
                // A non-blocking connect is finished once the socket turns writable.
                pollfd pfd{c.fd.Get(), POLLOUT, 0};
                if (poll(&pfd, 1, 0) == 0) {
                    Want(c, EPOLLOUT);
                    return;
                }
                int err = 0;
                socklen_t len = sizeof(err);
                if (getsockopt(c.fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                    Fail(c, false);
                    return;
                }
                c.st = State::Handshaking;
                break;
            }
            case State::Handshaking: {
                const int rc = SSL_do_handshake(c.ssl.get());
                if (rc == 1) {
                    ++m_res.connects;
                    if (cfg.websocket) {
                        // One page per connection, like tabs of different sites.
                        c.out = BuildUpgradeRequest(
                            m_sh.hostHeader, cfg.path,
                            "https://tab" + std::to_string(c.index) + ".bench.localhost");
                        c.outOff = 0;
                        c.awaitingUpgrade = true;
                        c.st = State::Sending;
                        c.tState = NowNs();
                    } else if (c.hasRequest || AssignRequest(c)) {
                        BuildRequest(c);
                    } else {
                        CloseConn(c);
                        c.st = State::Done;
                        return;
                    }
                    break;
                }
                const int e = SSL_get_error(c.ssl.get(), rc);
                if (e == SSL_ERROR_WANT_READ) {
                    Want(c, EPOLLIN);
                    return;
                }
                if (e == SSL_ERROR_WANT_WRITE) {
                    Want(c, EPOLLOUT);
                    return;
                }
                Fail(c, false);
                return;
            }
            case State::Sending: {
                while (c.outOff < c.out.size()) {
                    const int n = SSL_write(c.ssl.get(), c.out.data() + c.outOff,
                                            static_cast<int>(c.out.size() - c.outOff));
                    if (n > 0) {
                        c.outOff += static_cast<std::size_t>(n);
                        continue;
                    }
                    const int e = SSL_get_error(c.ssl.get(), n);
                    if (e == SSL_ERROR_WANT_WRITE) {
                        Want(c, EPOLLOUT);
                        return;
                    }
                    if (e == SSL_ERROR_WANT_READ) {
                        Want(c, EPOLLIN);
                        return;
                    }
                    Fail(c, false);
                    return;
                }
                c.st = State::Receiving;
                c.tState = NowNs();
                break;
            }
            case State::Receiving: {
                const int n = SSL_read(c.ssl.get(), buf, sizeof(buf));
                if (n <= 0) {
                    const int e = SSL_get_error(c.ssl.get(), n);
                    if (e == SSL_ERROR_WANT_READ) {
                        Want(c, EPOLLIN);
                        return;
                    }
                    if (e == SSL_ERROR_WANT_WRITE) {
                        Want(c, EPOLLOUT);
                        return;
                    }
                    Fail(c, false);
                    return;
                }
                c.in.append(buf, static_cast<std::size_t>(n));
                if (cfg.websocket && !c.awaitingUpgrade) {
                    const WsFrame fr = ParseServerFrame(c.in);
                    if (fr.malformed) {
                        Fail(c, false);
                        return;
                    }
                    if (fr.complete) {
                        const std::string raw = c.in.substr(0, fr.totalLength);
                        const std::string payload = c.in.substr(fr.payloadOffset, fr.payloadLength);
                        c.in.erase(0, fr.totalLength);
                        if (fr.opcode == 8) {  // the server closed the WebSocket
                            Fail(c, false);
                            return;
                        }
                        OnResponse(c, 200, fr.opcode == 1 && fr.fin, false, payload, raw);
                    }
                } else {
                    const HttpResponse res = ParseHttpResponse(c.in);
                    if (res.malformed) {
                        Fail(c, false);
                        return;
                    }
                    if (res.complete) {
                        const std::string raw = c.in.substr(0, res.totalLength);
                        const std::string body =
                            c.in.substr(res.bodyOffset, res.totalLength - res.bodyOffset);
                        c.in.erase(0, res.totalLength);
                        OnResponse(c, res.status, res.status == 200, res.closeAfter, body, raw);
                    }
                }
                break;
            }
        }
    }
}

void CWorker::Run() {
    m_ep.Reset(epoll_create1(EPOLL_CLOEXEC));
    if (m_ep.Get() < 0) {
        std::perror("epoll_create1");
        return;
    }
    for (int idx : m_indices) {
        auto c = std::make_unique<Conn>();
        c->index = idx;
        m_conns.push_back(std::move(c));
    }
    for (auto& c : m_conns) {
        StartConnection(*c);
    }
    epoll_event events[64];
    const std::uint64_t timeoutNs = static_cast<std::uint64_t>(m_sh.cfg->timeoutMs) * 1000000ull;
    for (;;) {
        const int n = epoll_wait(m_ep.Get(), events, 64, 20);
        if (n < 0 && errno != EINTR) {
            std::perror("epoll_wait");
            break;
        }
        for (int i = 0; i < n; ++i) {
            Drive(*static_cast<Conn*>(events[i].data.ptr));
        }
        const std::uint64_t now = NowNs();
        if (!Running(now)) {
            break;
        }
        bool anyLive = false;
        for (auto& c : m_conns) {
            if (c->st == State::Waiting && now >= c->retryAt) {
                StartConnection(*c);
                Drive(*c);
            } else if (c->st != State::Waiting && c->st != State::Done &&
                       now - c->tState > timeoutNs) {
                Fail(*c, true);
            }
            anyLive = anyLive || c->st != State::Done;
        }
        if (!anyLive) {
            break;
        }
    }
    for (auto& c : m_conns) {
        CloseConn(*c);
    }
}

}  // namespace

bool RunEngine(const EngineConfig& cfg, EngineResult& result) {
    if (cfg.conns < 1 || cfg.threads < 1) {
        std::fprintf(stderr, "conns and threads must be at least 1\n");
        return false;
    }
    if (cfg.durationS <= 0 && cfg.maxRequests == 0) {
        std::fprintf(stderr, "give a duration or a request count\n");
        return false;
    }
    SslCtxPtr ctx = MakeClientContext(cfg.caFile);
    if (!ctx) {
        std::fprintf(stderr, "cannot create the TLS client context\n");
        return false;
    }
    RequestTemplate tmpl(cfg.jsonTemplate);
    Shared sh;
    sh.cfg = &cfg;
    sh.ctx = ctx.get();
    sh.tmpl = &tmpl;
    sh.hostHeader = cfg.host + ":" + std::to_string(cfg.port);
    const int threads = std::min(cfg.threads, cfg.conns);
    std::vector<std::vector<int>> split(static_cast<std::size_t>(threads));
    for (int i = 0; i < cfg.conns; ++i) {
        split[static_cast<std::size_t>(i % threads)].push_back(i);
    }
    std::vector<std::unique_ptr<CWorker>> workers;
    for (auto& s : split) {
        workers.push_back(std::make_unique<CWorker>(sh, s));
    }
    const double cpu0 = ProcessCpuSeconds();
    sh.start = NowNs();
    sh.warmupEnd = sh.start + static_cast<std::uint64_t>(cfg.warmupS * 1e9);
    sh.end = cfg.durationS > 0
                 ? sh.start + static_cast<std::uint64_t>((cfg.warmupS + cfg.durationS) * 1e9)
                 : 0;
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < workers.size(); ++i) {
        pool.emplace_back([&workers, i] { workers[i]->Run(); });
    }
    workers[0]->Run();
    for (auto& t : pool) {
        t.join();
    }
    const std::uint64_t stop = NowNs();
    result = EngineResult();
    std::uint64_t last = 0;
    for (auto& w : workers) {
        EngineResult& r = w->Result();
        result.completed += r.completed;
        result.errors += r.errors;
        result.timeouts += r.timeouts;
        result.expectMisses += r.expectMisses;
        result.connects += r.connects;
        result.bytesIn += r.bytesIn;
        result.samplesNs.insert(result.samplesNs.end(), r.samplesNs.begin(), r.samplesNs.end());
        last = std::max(last, w->LastCompletion());
    }
    // A run bounded by count ends with its last reply; a run bounded by time ends at the deadline.
    const std::uint64_t measuredEnd = sh.end != 0 ? std::min(stop, sh.end) : last;
    result.elapsedS =
        measuredEnd > sh.warmupEnd ? static_cast<double>(measuredEnd - sh.warmupEnd) / 1e9 : 1e-9;
    result.clientCpuS = ProcessCpuSeconds() - cpu0;
    return true;
}

}  // namespace nvbench
