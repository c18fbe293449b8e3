// The soak load: clients that, until a deadline, mix HTTPS module calls (fresh and keep-alive
// connections), parked calls collected later with "GET_RESULT", calls that reuse one key again and
// again, WSS calls and probes, checking every answer: each call's reply must carry the very text that
// call sent, each parked result must be collected exactly once and be the one its call produced.
// A sampler records the daemon's RSS, threads and descriptors once a second. Used by the short soak
// test and by the nv_soak client of scripts/soak.sh.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/HostileSupport.h"

namespace nvhostile {

struct SoakOptions {
    unsigned short port = 0;
    pid_t pid = -1;
    int clients = 20;
    std::chrono::seconds duration{20};
};

struct SoakSample {
    double seconds = 0;
    long rssKb = 0;
    long threads = 0;
    int fds = 0;
};

struct SoakFigures {
    std::atomic<long> httpCalls{0};       // module calls over HTTPS answered with their own text
    std::atomic<long> keepAliveCalls{0};  // of these, on a reused connection
    std::atomic<long> parkedCalls{0};     // calls whose result was parked ("use_getresult")
    std::atomic<long> collected{0};       // parked results collected with the right text
    std::atomic<long> repeatedKeyCalls{0};
    std::atomic<long> wssCalls{0};
    std::atomic<long> probes{0};
    std::atomic<long> lost{0};             // a parked result that could not be collected
    std::atomic<long> duplicated{0};       // a parked result that could be collected twice
    std::atomic<long> wrong{0};            // an answer with another call's text, or malformed
    std::atomic<long> transportErrors{0};  // no answer at all
    std::vector<SoakSample> samples;
    std::vector<std::string> firstErrors;
    std::mutex errorsMutex;

    long Errors() const { return lost + duplicated + wrong + transportErrors; }
    long Requests() const {
        // Collections count twice: the collection and the check that nothing is left.
        return httpCalls + parkedCalls + 2 * collected + repeatedKeyCalls + wssCalls + probes;
    }
    void Note(std::atomic<long>& counter, const std::string& what) {
        ++counter;
        std::lock_guard<std::mutex> lock(errorsMutex);
        if (firstErrors.size() < 20)
            firstErrors.push_back(what);
    }
};

namespace soakdetail {

class SoakClient {
public:
    SoakClient(const SoakOptions& options, SoakFigures& figures, int index)
        : m_opt(options),
          m_fig(figures),
          m_index(index),
          m_rng(static_cast<unsigned>(index) * 7919u + 17u),
          m_origin("https://soak" + std::to_string(index % 5) + ".example"),
          m_tab("c" + std::to_string(index)) {}

    void Run(Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            switch (m_rng() % 10) {
                case 0:
                case 1:
                case 2:
                    HttpCall();
                    break;
                case 3:
                case 4:
                    ParkedCall();
                    break;
                case 5:
                    CollectOldest();
                    break;
                case 6:
                    RepeatedKeyCall();
                    break;
                case 7:
                case 8:
                    WssCall();
                    break;
                default:
                    Probe();
                    break;
            }
        }
        while (!m_parked.empty())
            CollectOldest();
        CollectRepeated();
    }

private:
    struct Parked {
        std::string id;
        std::string reply;
    };

    std::string NextId(const char* kind) {
        return std::string(kind) + "-" + m_tab + "-" + std::to_string(++m_serial);
    }
    std::string Call(const std::string& id, const std::string& extra = std::string()) const {
        return "{\"id\":\"" + id + "\",\"tabid\":\"" + m_tab + "\",\"origin\":\"" + m_origin +
               "\",\"n\":" + std::to_string(m_serial) + extra + "}";
    }
    std::string Collect(const std::string& id) const {
        return "{\"id\":\"" + id + "\",\"tabid\":\"" + m_tab + "\",\"origin\":\"" + m_origin +
               "\",\"cmd\":\"GET_RESULT\"}";
    }

    // A client holds at most one connection at a time (20 clients, 25 workers: an open WebSocket
    // or a kept-alive connection keeps its worker), so each kind of call closes the other kind.
    void DropKeepAlive() {
        m_keepAlive.Close();
        m_pending.clear();
    }
    void DropWs() { m_ws.reset(); }

    // One POST; half of the time on the client's kept-alive connection.
    HttpResponse Post(const std::string& json) {
        const std::string request = BuildPost("request=" + FormEncode(json));
        DropWs();
        if (m_rng() % 2 == 0) {
            DropKeepAlive();
            return PostJson(m_opt.port, json);
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_keepAlive.IsOpen()) {
                m_pending.clear();
                if (!m_keepAlive.Connect(m_opt.port))
                    continue;
            } else {
                ++m_fig.keepAliveCalls;
            }
            HttpResponse r;
            if (m_keepAlive.Write(request))
                r = ReadHttpResponse(m_keepAlive, m_pending);
            if (r.complete)
                return r;
            m_keepAlive.Close();
        }
        return HttpResponse{};
    }

    // A module call whose reply must carry exactly the text sent; the module's reply text, or "".
    std::string CheckedCall(const std::string& id, const std::string& json, bool overWss = false) {
        std::string payload;
        if (overWss) {
            if (!WsRoundTrip(json, payload)) {
                m_fig.Note(m_fig.transportErrors, "no WSS answer for " + id);
                return std::string();
            }
        } else {
            HttpResponse r = Post(json);
            if (!r.complete) {
                m_fig.Note(m_fig.transportErrors, "no HTTPS answer for " + id);
                return std::string();
            }
            payload = r.body;
        }
        ReplyEnvelope env = ParseEnvelope(payload);
        if (!env.valid || env.status != "TRUE" || env.id != id || env.tabid != m_tab ||
            ParseSampleReply(env.reply).request != json) {
            m_fig.Note(m_fig.wrong, "answer for " + id + ": " + payload.substr(0, 300));
            return std::string();
        }
        return env.reply;
    }

    void HttpCall() {
        std::string id = NextId("h");
        if (!CheckedCall(id, Call(id)).empty())
            ++m_fig.httpCalls;
    }

    void ParkedCall() {
        std::string id = NextId("p");
        std::string reply = CheckedCall(id, Call(id, ",\"use_getresult\":\"TRUE\""));
        if (reply.empty())
            return;
        ++m_fig.parkedCalls;
        m_parked.push_back({id, reply});
        if (m_parked.size() > 6)
            CollectOldest();
    }

    // GET_RESULT must give the parked reply once, and nothing the second time.
    void CollectOldest() {
        if (m_parked.empty())
            return;
        Parked p = m_parked.front();
        m_parked.pop_front();
        CollectExpecting(p.id, p.reply);
    }
    void CollectExpecting(const std::string& id, const std::string& reply) {
        HttpResponse firstResponse = Post(Collect(id));
        if (!firstResponse.complete) {
            m_fig.Note(m_fig.transportErrors, "no answer to the collection of " + id);
            return;
        }
        ReplyEnvelope first = ParseEnvelope(firstResponse.body);
        if (first.status == "FALSE") {
            m_fig.Note(m_fig.lost, "parked result lost: " + id);
            return;
        }
        if (first.status != "TRUE" || first.reply != reply) {
            m_fig.Note(m_fig.wrong, "collected for " + id + ": " + first.status + " " +
                                        first.reply.substr(0, 200));
            return;
        }
        HttpResponse secondResponse = Post(Collect(id));
        if (!secondResponse.complete) {
            m_fig.Note(m_fig.transportErrors, "no answer to the second collection of " + id);
            return;
        }
        if (ParseEnvelope(secondResponse.body).status != "FALSE") {
            m_fig.Note(m_fig.duplicated, "collected twice: " + id);
            return;
        }
        ++m_fig.collected;
    }

    // The same key again and again: each call replaces the finished task of the one before, so a
    // collection must give the latest call's reply.
    void RepeatedKeyCall() {
        const std::string id = "rep-" + m_tab;
        ++m_serial;
        std::string reply = CheckedCall(id, Call(id, ",\"use_getresult\":\"TRUE\""));
        if (reply.empty())
            return;
        ++m_fig.repeatedKeyCalls;
        m_repeatedReply = reply;
        if (m_rng() % 4 == 0)
            CollectRepeated();
    }
    void CollectRepeated() {
        if (m_repeatedReply.empty())
            return;
        CollectExpecting("rep-" + m_tab, m_repeatedReply);
        m_repeatedReply.clear();
    }

    bool WsRoundTrip(const std::string& json, std::string& payload) {
        DropKeepAlive();
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_ws || m_wsCalls % 200 == 199) {
                m_ws = std::make_unique<WsClient>();
                if (!m_ws->Open(m_opt.port)) {
                    m_ws.reset();
                    continue;
                }
            }
            ++m_wsCalls;
            WsFrame f;
            if (m_ws->SendText(json) && m_ws->ReadFrame(f) == WsClient::Read::kFrame &&
                f.opcode == kWsText) {
                payload = f.payload;
                return true;
            }
            m_ws.reset();
        }
        return false;
    }

    // A short burst of calls on one WebSocket connection, as a page's tab sends them.
    void WssCall() {
        for (unsigned n = m_rng() % 5 + 1; n > 0; --n) {
            std::string id = NextId("w");
            if (!CheckedCall(id, Call(id), /*overWss=*/true).empty())
                ++m_fig.wssCalls;
        }
    }

    void Probe() {
        DropKeepAlive();
        DropWs();
        HttpResponse r = HttpExchange(
            m_opt.port, BuildRequest("GET", "/?dmPortScan", "Origin: " + m_origin + "\r\n"));
        if (r.raw == kProbeAnswerText) {
            ++m_fig.probes;
        } else {
            m_fig.Note(r.complete ? m_fig.wrong : m_fig.transportErrors,
                       "probe: " + r.raw.substr(0, 200));
        }
    }

    const SoakOptions& m_opt;
    SoakFigures& m_fig;
    int m_index;
    std::mt19937 m_rng;
    std::string m_origin;
    std::string m_tab;
    long m_serial = 0;
    std::deque<Parked> m_parked;
    std::string m_repeatedReply;
    TlsConnection m_keepAlive;
    std::string m_pending;
    std::unique_ptr<WsClient> m_ws;
    long m_wsCalls = 0;
};

}  // namespace soakdetail

// Runs the clients until the duration has passed, sampling the daemon meanwhile.
inline void RunSoak(const SoakOptions& options, SoakFigures& figures) {
    const auto start = Clock::now();
    const auto deadline = start + options.duration;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done.load()) {
            SoakSample s;
            s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            s.rssKb = RssKb(options.pid);
            s.threads = ProcStatus(options.pid, "Threads");
            s.fds = OpenFdCount(options.pid);
            figures.samples.push_back(s);
            for (int i = 0; i < 10 && !done.load(); ++i)
                std::this_thread::sleep_for(100ms);
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < options.clients; ++c) {
        clients.emplace_back([&, c] {
            soakdetail::SoakClient client(options, figures, c);
            client.Run(deadline);
        });
    }
    for (auto& t : clients)
        t.join();
    done.store(true);
    sampler.join();
}

// The largest RSS among the samples taken in [from, to) of the run's fractions (0..1).
inline long MaxRssBetween(const SoakFigures& figures, double from, double to) {
    if (figures.samples.empty())
        return -1;
    const double total = figures.samples.back().seconds;
    long best = -1;
    for (const auto& s : figures.samples)
        if (s.seconds >= from * total && s.seconds < to * total)
            best = std::max(best, s.rssKb);
    return best;
}

}  // namespace nvhostile
