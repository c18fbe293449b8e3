// Reading a server's threads from /proc: context switches, CPU time and resident memory, so that
// the idle cost of the daemon's own threads can be told apart from CivetWeb's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nvbench {

struct ThreadSample {
    int tid = 0;
    std::string comm;
    std::uint64_t voluntary = 0;  // voluntary_ctxt_switches: the thread blocked and woke again
    std::uint64_t involuntary = 0;
    std::uint64_t cpuTicks = 0;  // utime + stime
};

// Every thread of the process; false when the process is gone.
bool SampleThreads(int pid, std::vector<ThreadSample>& out);

// CivetWeb names its threads "civetweb-..."; everything else in the server process belongs to the
// program itself (its main thread and threads it starts, which inherit the main thread's name).
bool IsCivetWebThread(const std::string& comm);

// A value in kB from /proc/<pid>/status ("VmRSS", "VmHWM", "RssAnon"); -1 when unavailable.
long StatusKib(int pid, const char* field);

}  // namespace nvbench
