// nv_soak: the soak client of scripts/soak.sh. Runs the soak load against a running daemon, given
// by its process id (its port is read from its sockets), and prints the figures. Exit status 0 when
// every answer checked out, 1 when any was lost, duplicated, wrong or missing, 2 on bad arguments.
//   nv_soak --pid <daemon pid> [--clients 20] [--seconds 600] [--samples <file>]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/hostile/SoakRun.h"

using namespace nvhostile;

int main(int argc, char** argv) {
    SoakOptions options;
    options.duration = std::chrono::seconds(600);
    std::string samplesPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--pid") == 0)
            options.pid = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--clients") == 0)
            options.clients = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            options.duration = std::chrono::seconds(std::atol(argv[i + 1]));
        else if (std::strcmp(argv[i], "--samples") == 0)
            samplesPath = argv[i + 1];
        else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (options.pid <= 0 || options.clients <= 0 || options.duration.count() <= 0) {
        std::fprintf(
            stderr,
            "usage: nv_soak --pid <daemon pid> [--clients N] [--seconds S] [--samples FILE]\n");
        return 2;
    }
    // The daemon may still be starting: up to 60 s for it to listen.
    WaitFor([&] { return (options.port = DaemonProcess::ListeningPort(options.pid)) != 0; }, 60s);
    if (options.port == 0 || !WaitFor([&] { return TcpAccepts(options.port); }, 30s)) {
        std::fprintf(stderr, "process %d does not listen on a TCP port\n",
                     static_cast<int>(options.pid));
        return 2;
    }
    std::printf("soak: %d clients for %lld s against pid %d on 127.0.0.1:%u\n", options.clients,
                static_cast<long long>(options.duration.count()), static_cast<int>(options.pid),
                options.port);
    std::fflush(stdout);

    SoakFigures figures;
    RunSoak(options, figures);

    if (!samplesPath.empty()) {
        std::ofstream out(samplesPath);
        out << "seconds rss_kb threads fds\n";
        for (const auto& s : figures.samples)
            out << s.seconds << ' ' << s.rssKb << ' ' << s.threads << ' ' << s.fds << '\n';
    }
    const SoakSample first = figures.samples.empty() ? SoakSample{} : figures.samples.front();
    const SoakSample last = figures.samples.empty() ? SoakSample{} : figures.samples.back();
    std::printf("requests answered and checked: %ld\n", figures.Requests());
    std::printf("  HTTPS module calls:          %ld (%ld on kept-alive connections)\n",
                figures.httpCalls.load(), figures.keepAliveCalls.load());
    std::printf(
        "  parked calls / collected:    %ld / %ld (each collection followed by a second that found "
        "nothing)\n",
        figures.parkedCalls.load(), figures.collected.load());
    std::printf("  repeated-key calls:          %ld\n", figures.repeatedKeyCalls.load());
    std::printf("  WSS calls:                   %ld\n", figures.wssCalls.load());
    std::printf("  probes:                      %ld\n", figures.probes.load());
    std::printf("lost %ld, duplicated %ld, wrong %ld, unanswered %ld\n", figures.lost.load(),
                figures.duplicated.load(), figures.wrong.load(), figures.transportErrors.load());
    std::printf(
        "RSS: %ld kB at start, %ld kB max in 10-20%%, %ld kB max in the last 10%%, %ld kB at the "
        "end\n",
        first.rssKb, MaxRssBetween(figures, 0.1, 0.2), MaxRssBetween(figures, 0.9, 1.01),
        last.rssKb);
    std::printf("threads: %ld at start, %ld at the end; descriptors: %d at start, %d at the end\n",
                first.threads, last.threads, first.fds, last.fds);
    for (const auto& e : figures.firstErrors)
        std::printf("error: %s\n", e.c_str());
    return figures.Errors() == 0 ? 0 : 1;
}
