// Latency samples of one run: exact percentiles from the sorted samples, and a log-spaced
// histogram for plotting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace nvbench {

struct LatencySummary {
    std::size_t count = 0;
    double meanUs = 0;
    double p50Us = 0;
    double p90Us = 0;
    double p99Us = 0;
    double p999Us = 0;
    double maxUs = 0;
};

// Sorts the samples (nanoseconds) in place and summarises them.
LatencySummary Summarize(std::vector<std::uint64_t>& samplesNs);

// Nearest-rank percentile of sorted samples, in microseconds; 0 for no samples.
double PercentileUs(const std::vector<std::uint64_t>& sortedNs, double percent);

// Writes "upper_bound_us count" lines, ten buckets per decade from 1 us upwards; samples must be sorted.
void WriteHistogram(std::FILE* out, const std::vector<std::uint64_t>& sortedNs);

// Monotonic clock in nanoseconds.
std::uint64_t NowNs();

// CPU time (user + system) this process has used, in seconds.
double ProcessCpuSeconds();

}  // namespace nvbench
