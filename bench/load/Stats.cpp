// Latency statistics for the load client.
#include "bench/load/Stats.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sys/resource.h>

namespace nvbench {

double PercentileUs(const std::vector<std::uint64_t>& sortedNs, double percent) {
    if (sortedNs.empty()) {
        return 0;
    }
    // Nearest rank: the smallest sample with at least percent% of the samples at or below it.
    auto rank =
        static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(sortedNs.size())));
    rank = std::clamp<std::size_t>(rank, 1, sortedNs.size());
    return static_cast<double>(sortedNs[rank - 1]) / 1000.0;
}

LatencySummary Summarize(std::vector<std::uint64_t>& samplesNs) {
    LatencySummary s;
    std::sort(samplesNs.begin(), samplesNs.end());
    s.count = samplesNs.size();
    if (s.count == 0) {
        return s;
    }
    long double sum = 0;
    for (std::uint64_t v : samplesNs) {
        sum += v;
    }
    s.meanUs = static_cast<double>(sum / s.count / 1000.0L);
    s.p50Us = PercentileUs(samplesNs, 50);
    s.p90Us = PercentileUs(samplesNs, 90);
    s.p99Us = PercentileUs(samplesNs, 99);
    s.p999Us = PercentileUs(samplesNs, 99.9);
    s.maxUs = static_cast<double>(samplesNs.back()) / 1000.0;
    return s;
}

void WriteHistogram(std::FILE* out, const std::vector<std::uint64_t>& sortedNs) {
    std::size_t i = 0;
    for (int step = 1; i < sortedNs.size() && step <= 100; ++step) {  // up to 10^10 us
        const double upperUs = std::pow(10.0, step / 10.0);
        const auto upperNs = static_cast<std::uint64_t>(upperUs * 1000.0);
        std::size_t n = 0;
        while (i < sortedNs.size() && sortedNs[i] <= upperNs) {
            ++i;
            ++n;
        }
        std::fprintf(out, "%.3f %zu\n", upperUs, n);
    }
}

std::uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace nvbench
