// nv_bench_load: the load generator and measuring probe of the benchmark suite.
//
//   nv_bench_load http|ws [options]        closed-loop HTTPS POST or WebSocket round trips
//   nv_bench_load getresult [options]      "GET_RESULT" latency against the number of parked results
//   nv_bench_load startup --port P -- CMD  time from exec of CMD to the port completing a TLS handshake
//   nv_bench_load idle --pid P ... --seconds S
//                                          wake-ups and CPU time of a server's threads while idle
//   nv_bench_load rss --pid P              resident memory of a process
//
// Results are printed as one line of key=value pairs per measurement, for the driver script.
#include <openssl/ssl.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/load/Engine.h"
#include "bench/load/ProcStat.h"
#include "bench/load/Protocol.h"
#include "bench/load/Stats.h"
#include "bench/load/TlsClient.h"

using namespace nvbench;

namespace {

void Usage() {
    std::fprintf(
        stderr,
        "usage:\n"
        "  nv_bench_load http|ws [--host H] [--port P] [--conns N] [--threads N] [--duration S]\n"
        "      [--requests N] [--warmup S] [--new-conn] [--origins N] [--ids N] [--park]\n"
        "      [--pad-bytes N] [--json TEMPLATE] [--tabid T] [--expect TEXT] [--dump FILE]\n"
        "      [--histogram FILE] [--timeout-ms N] [--cafile PEM] [--path P] [--strict]\n"
        "  nv_bench_load getresult [--host H] [--port P] [--sizes 1,100,...] [--spread one|many]\n"
        "      [--samples N] [--batches N] [--pad-bytes N] [--expect-hit]\n"
        "  nv_bench_load startup [--host H] --port P [--timeout-ms N] [--log FILE] -- COMMAND "
        "[ARGS...]\n"
        "  nv_bench_load idle --pid P [--pid Q ...] --seconds S [--verbose]\n"
        "  nv_bench_load rss --pid P\n");
}

// Options as name -> values; flags get the value "1". Everything after "--" is the command.
struct Args {
    std::multimap<std::string, std::string> opts;
    std::vector<std::string> command;

    bool Has(const std::string& k) const { return opts.count(k) != 0; }
    std::string Get(const std::string& k, const std::string& def) const {
        auto it = opts.find(k);
        return it == opts.end() ? def : it->second;
    }
    long Long(const std::string& k, long def) const {
        return std::strtol(Get(k, std::to_string(def)).c_str(), nullptr, 10);
    }
    double Double(const std::string& k, double def) const {
        return std::strtod(Get(k, std::to_string(def)).c_str(), nullptr);
    }
};

bool ParseArgs(int argc, char** argv, int first, Args& a) {
    static const char* kFlags[] = {"--new-conn", "--park", "--strict", "--verbose", "--expect-hit"};
    for (int i = first; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "--") {
            for (++i; i < argc; ++i) {
                a.command.push_back(argv[i]);
            }
            break;
        }
        if (s.compare(0, 2, "--") != 0) {
            std::fprintf(stderr, "unexpected argument: %s\n", s.c_str());
            return false;
        }
        bool flag = false;
        for (const char* f : kFlags) {
            flag = flag || s == f;
        }
        if (flag) {
            a.opts.emplace(s, "1");
        } else if (i + 1 < argc) {
            a.opts.emplace(s, argv[++i]);
        } else {
            std::fprintf(stderr, "option %s needs a value\n", s.c_str());
            return false;
        }
    }
    return true;
}

void PrintLatency(const LatencySummary& s) {
    std::printf(" mean_us=%.1f p50_us=%.1f p90_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f",
                s.meanUs, s.p50Us, s.p90Us, s.p99Us, s.p999Us, s.maxUs);
}

int RunLoad(const Args& a, bool websocket) {
    EngineConfig cfg;
    cfg.websocket = websocket;
    cfg.host = a.Get("--host", cfg.host);
    cfg.port = static_cast<int>(a.Long("--port", cfg.port));
    cfg.path = a.Get("--path", cfg.path);
    cfg.conns = static_cast<int>(a.Long("--conns", 1));
    cfg.threads = static_cast<int>(a.Long("--threads", 1));
    cfg.maxRequests = static_cast<std::uint64_t>(a.Long("--requests", 0));
    cfg.durationS = a.Double("--duration", cfg.maxRequests != 0 ? 0 : 10);
    cfg.warmupS = a.Double("--warmup", 0);
    cfg.newConnPerRequest = a.Has("--new-conn");
    cfg.origins = static_cast<int>(a.Long("--origins", 1));
    cfg.ids = static_cast<std::uint64_t>(a.Long("--ids", 0));
    cfg.pad = std::string(static_cast<std::size_t>(a.Long("--pad-bytes", 64)), 'x');
    const std::string tabid = a.Get("--tabid", websocket ? "tab{conn}" : "bench");
    cfg.jsonTemplate = a.Get("--json", DefaultRequestTemplate(a.Has("--park"), tabid));
    cfg.expect = a.Get("--expect", "");
    cfg.dumpFile = a.Get("--dump", "");
    cfg.timeoutMs = static_cast<int>(a.Long("--timeout-ms", cfg.timeoutMs));
    cfg.caFile = a.Get("--cafile", "");
    if (websocket && cfg.newConnPerRequest) {
        std::fprintf(stderr, "--new-conn applies to http only\n");
        return 2;
    }
    EngineResult res;
    if (!RunEngine(cfg, res)) {
        return 2;
    }
    const LatencySummary s = Summarize(res.samplesNs);
    std::printf(
        "mode=%s conns=%d threads=%d new_conn=%d origins=%d ids=%llu park=%d completed=%llu "
        "errors=%llu timeouts=%llu expect_misses=%llu "
        "connects=%llu elapsed_s=%.3f rps=%.1f",
        websocket ? "ws" : "http", cfg.conns, cfg.threads, cfg.newConnPerRequest ? 1 : 0,
        cfg.origins, static_cast<unsigned long long>(cfg.ids), a.Has("--park") ? 1 : 0,
        static_cast<unsigned long long>(res.completed), static_cast<unsigned long long>(res.errors),
        static_cast<unsigned long long>(res.timeouts),
        static_cast<unsigned long long>(res.expectMisses),
        static_cast<unsigned long long>(res.connects), res.elapsedS,
        static_cast<double>(res.completed) / res.elapsedS);
    PrintLatency(s);
    std::printf(" client_cpu_s=%.3f bytes_in=%llu\n", res.clientCpuS,
                static_cast<unsigned long long>(res.bytesIn));
    const std::string hist = a.Get("--histogram", "");
    if (!hist.empty()) {
        if (std::FILE* f = std::fopen(hist.c_str(), "w")) {
            WriteHistogram(f, res.samplesNs);
            std::fclose(f);
        }
    }
    if (res.completed == 0) {
        return 3;
    }
    if (a.Has("--strict") && (res.errors != 0 || res.timeouts != 0 || res.expectMisses != 0)) {
        return 4;
    }
    return 0;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One request over a keep-alive connection, reconnecting once if the server closed it meanwhile.
bool RoundTrip(CSyncConn& conn, const std::string& json, std::string& body) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!conn.IsOpen() && !conn.Connect(10000)) {
            return false;
        }
        HttpResponse res;
        std::string raw;
        if (conn.SendAll(BuildPostRequest(conn.HostHeader(), json, false)) &&
            conn.ReadHttp(res, raw, body)) {
            if (res.closeAfter) {
                conn.Close();
            }
            return res.status == 200;
        }
        conn.Close();
    }
    return false;
}

// Parks results (use_getresult "TRUE") and measures collecting them. The store size stays constant
// while measuring: every collected result is parked again before the next timed collection.
int RunGetResult(const Args& a) {
    const std::string host = a.Get("--host", "127.0.0.1");
    const int port = static_cast<int>(a.Long("--port", 4441));
    const bool many = a.Get("--spread", "one") == "many";
    const long samples = a.Long("--samples", 1000);
    const bool expectHit = a.Has("--expect-hit");
    const std::string pad(static_cast<std::size_t>(a.Long("--pad-bytes", 64)), 'x');
    std::vector<long> sizes;
    {
        const std::string list = a.Get("--sizes", "1,100,1000,10000");
        std::size_t pos = 0;
        while (pos < list.size()) {
            sizes.push_back(std::strtol(list.c_str() + pos, nullptr, 10));
            const std::size_t comma = list.find(',', pos);
            pos = comma == std::string::npos ? list.size() : comma + 1;
        }
    }
    for (long size : sizes) {
        if (size < 1) {
            std::fprintf(stderr, "store sizes must be at least 1\n");
            return 2;
        }
    }
    SslCtxPtr ctx = MakeClientContext(a.Get("--cafile", ""));
    if (!ctx) {
        return 2;
    }
    CSyncConn conn(ctx.get(), host, port);
    const RequestTemplate park(DefaultRequestTemplate(/*park=*/true, "bench"));
    auto originOf = [many](long i) {
        return many ? "https://o" + std::to_string(i % 1000) + ".bench.localhost"
                    : std::string("https://store.bench.localhost");
    };
    auto parkOne = [&](long i, std::string& body) {
        return RoundTrip(conn,
                         park.Render(static_cast<std::uint64_t>(i), "p" + std::to_string(i),
                                     originOf(i), 0, pad),
                         body);
    };
    const long batches = std::max(1L, a.Long("--batches", 5));
    std::vector<std::uint64_t> all;
    auto CloseBatch = [&all](std::vector<std::uint64_t>& lat, std::vector<double>& p50,
                             std::vector<double>& p99) {
        if (lat.empty()) {
            return;
        }
        const LatencySummary b = Summarize(lat);
        p50.push_back(b.p50Us);
        p99.push_back(b.p99Us);
        all.insert(all.end(), lat.begin(), lat.end());
        lat.clear();
    };
    long parked = 0;
    std::uint32_t rnd = 2463534242u;
    int failures = 0;
    // Warm-up, not timed: the connection's first exchanges and the server's first requests after
    // its start are slower than the rest and would decide the tail at the first size.
    {
        std::string body;
        for (int w = 0; w < 200; ++w) {
            const std::string get =
                "{\"cmd\":\"GET_RESULT\",\"id\":\"w\",\"tabid\":\"bench\",\"origin\":\"" +
                originOf(0) + "\"}";
            if (!RoundTrip(conn, get, body)) {
                std::fprintf(stderr, "warm-up request failed: %s\n", conn.LastError().c_str());
                return 3;
            }
        }
    }
    for (long size : sizes) {
        const std::uint64_t t0 = NowNs();
        std::string body;
        for (; parked < size; ++parked) {
            if (!parkOne(parked, body)) {
                std::fprintf(stderr, "parking request %ld failed: %s\n", parked,
                             conn.LastError().c_str());
                return 3;
            }
        }
        const double fillS = static_cast<double>(NowNs() - t0) / 1e9;
        // The samples are taken in batches; the p50 and p99 reported are the medians of the
        // batches' values, so a burst of unrelated load on the machine during one batch does not
        // decide the tail. The p99 of all samples is given as well.
        std::vector<std::uint64_t> lat;
        std::vector<double> batchP50;
        std::vector<double> batchP99;
        const long perBatch = std::max(1L, samples / batches);
        long misses = 0;
        for (long m = 0; m < samples; ++m) {
            if (m % perBatch == 0 && m + perBatch <= samples && lat.size() > 0) {
                CloseBatch(lat, batchP50, batchP99);
            }
            rnd ^= rnd << 13;
            rnd ^= rnd >> 17;
            rnd ^= rnd << 5;
            const long i = static_cast<long>(rnd % static_cast<std::uint32_t>(size));
            const std::string get = "{\"cmd\":\"GET_RESULT\",\"id\":\"p" + std::to_string(i) +
                                    "\",\"tabid\":\"bench\",\"origin\":\"" + originOf(i) + "\"}";
            const std::uint64_t s0 = NowNs();
            const bool ok = RoundTrip(conn, get, body);
            const std::uint64_t s1 = NowNs();
            if (!ok) {
                ++failures;
                continue;
            }
            lat.push_back(s1 - s0);
            if (expectHit && body.find("\"status\": \"TRUE\"") == std::string::npos) {
                ++misses;
            }
            if (!parkOne(i, body)) {
                ++failures;
            }
        }
        CloseBatch(lat, batchP50, batchP99);
        const LatencySummary s = Summarize(all);
        std::printf(
            "mode=getresult spread=%s size=%ld origins=%ld samples=%zu batches=%zu misses=%ld "
            "failures=%d "
            "fill_s=%.3f mean_us=%.1f p50_us=%.1f p99_us=%.1f p99_all_us=%.1f p999_all_us=%.1f "
            "max_us=%.1f\n",
            many ? "many" : "one", size, many ? std::min(size, 1000L) : 1L, s.count,
            batchP99.size(), misses, failures, fillS, s.meanUs, Median(batchP50), Median(batchP99),
            s.p99Us, s.p999Us, s.maxUs);
        all.clear();
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 4;
}

int RunStartup(const Args& a) {
    if (a.command.empty()) {
        Usage();
        return 2;
    }
    const std::string host = a.Get("--host", "127.0.0.1");
    const int port = static_cast<int>(a.Long("--port", 4441));
    const long timeoutMs = a.Long("--timeout-ms", 5000);
    SslCtxPtr ctx = MakeClientContext("");
    std::vector<char*> argv;
    for (const std::string& s : a.command) {
        argv.push_back(const_cast<char*>(s.c_str()));
    }
    argv.push_back(nullptr);
    const std::uint64_t t0 = NowNs();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        // The program's output must not hold the caller's pipes open: a forking daemon's child
        // would keep them open for as long as it serves.
        const std::string log = a.Get("--log", "/dev/null");
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    CSyncConn conn(ctx.get(), host, port);
    bool reaped = false;
    int status = 0;
    for (;;) {
        if (!reaped && waitpid(child, &status, WNOHANG) == child) {
            reaped = true;  // a forking daemon's first process ends at once
            if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
                std::fprintf(stderr, "cannot execute %s\n", argv[0]);
                return 2;
            }
        }
        if (conn.Connect(2000)) {
            const double ms = static_cast<double>(NowNs() - t0) / 1e6;
            conn.Close();
            std::printf("mode=startup port=%d startup_ms=%.2f child_pid=%d child_exited=%d\n", port,
                        ms, static_cast<int>(child), reaped ? 1 : 0);
            return 0;
        }
        if (static_cast<long>((NowNs() - t0) / 1000000ull) > timeoutMs) {
            std::fprintf(stderr, "port %d did not accept TLS within %ld ms (%s)\n", port, timeoutMs,
                         conn.LastError().c_str());
            return 3;
        }
        usleep(500);
    }
}

int RunIdle(const Args& a) {
    std::vector<int> pids;
    for (auto it = a.opts.lower_bound("--pid"); it != a.opts.upper_bound("--pid"); ++it) {
        pids.push_back(std::atoi(it->second.c_str()));
    }
    const double seconds = a.Double("--seconds", 60);
    if (pids.empty() || seconds <= 0) {
        Usage();
        return 2;
    }
    std::vector<std::vector<ThreadSample>> before(pids.size());
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (!SampleThreads(pids[i], before[i])) {
            std::fprintf(stderr, "process %d is not running\n", pids[i]);
            return 3;
        }
    }
    const std::uint64_t t0 = NowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = static_cast<double>(NowNs() - t0) / 1e9;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    int rc = 0;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        std::vector<ThreadSample> after;
        if (!SampleThreads(pids[i], after)) {
            std::fprintf(stderr, "process %d ended during the idle period\n", pids[i]);
            rc = 3;
            continue;
        }
        struct Acc {
            int threads = 0;
            std::uint64_t wakeups = 0;
            std::uint64_t involuntary = 0;
            std::uint64_t ticks = 0;
        } own, civet;
        for (const ThreadSample& t : after) {
            ThreadSample prev;
            for (const ThreadSample& b : before[i]) {
                if (b.tid == t.tid) {
                    prev = b;
                }
            }
            Acc& acc = IsCivetWebThread(t.comm) ? civet : own;
            ++acc.threads;
            acc.wakeups += t.voluntary - prev.voluntary;
            acc.involuntary += t.involuntary - prev.involuntary;
            acc.ticks += t.cpuTicks - prev.cpuTicks;
            if (a.Has("--verbose")) {
                std::fprintf(stderr,
                             "pid %d tid %d %-16s wakeups %llu involuntary %llu cpu_ticks %llu\n",
                             pids[i], t.tid, t.comm.c_str(),
                             static_cast<unsigned long long>(t.voluntary - prev.voluntary),
                             static_cast<unsigned long long>(t.involuntary - prev.involuntary),
                             static_cast<unsigned long long>(t.cpuTicks - prev.cpuTicks));
            }
        }
        std::printf(
            "mode=idle pid=%d seconds=%.1f own_threads=%d own_wakeups=%llu own_wakeups_per_s=%.3f "
            "own_cpu_s=%.3f "
            "civet_threads=%d civet_wakeups=%llu civet_wakeups_per_s=%.3f civet_cpu_s=%.3f "
            "involuntary=%llu "
            "rss_kib=%ld anon_kib=%ld\n",
            pids[i], elapsed, own.threads, static_cast<unsigned long long>(own.wakeups),
            static_cast<double>(own.wakeups) / elapsed, static_cast<double>(own.ticks) / tick,
            civet.threads, static_cast<unsigned long long>(civet.wakeups),
            static_cast<double>(civet.wakeups) / elapsed, static_cast<double>(civet.ticks) / tick,
            static_cast<unsigned long long>(own.involuntary + civet.involuntary),
            StatusKib(pids[i], "VmRSS"), StatusKib(pids[i], "RssAnon"));
    }
    return rc;
}

int RunRss(const Args& a) {
    const int pid = static_cast<int>(a.Long("--pid", 0));
    const long rss = StatusKib(pid, "VmRSS");
    if (pid <= 0 || rss < 0) {
        std::fprintf(stderr, "process %d is not running\n", pid);
        return 3;
    }
    std::printf("mode=rss pid=%d rss_kib=%ld hwm_kib=%ld anon_kib=%ld\n", pid, rss,
                StatusKib(pid, "VmHWM"), StatusKib(pid, "RssAnon"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A server that closes a connection under us must not end the client.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        Usage();
        return 2;
    }
    const std::string mode = argv[1];
    Args a;
    if (!ParseArgs(argc, argv, 2, a)) {
        Usage();
        return 2;
    }
    if (mode == "http" || mode == "ws") {
        return RunLoad(a, mode == "ws");
    }
    if (mode == "getresult") {
        return RunGetResult(a);
    }
    if (mode == "startup") {
        return RunStartup(a);
    }
    if (mode == "idle") {
        return RunIdle(a);
    }
    if (mode == "rss") {
        return RunRss(a);
    }
    Usage();
    return 2;
}
