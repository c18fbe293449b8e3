// /proc readers for the idle and memory scenarios.
#include "bench/load/ProcStat.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace nvbench {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::uint64_t StatusField(const std::string& status, const char* name) {
    const std::string key = std::string("\n") + name + ":";
    const std::size_t pos = status.find(key);
    if (pos == std::string::npos) {
        return 0;
    }
    return std::strtoull(status.c_str() + pos + key.size(), nullptr, 10);
}

}  // namespace

bool IsCivetWebThread(const std::string& comm) {
    return comm.compare(0, 9, "civetweb-") == 0;
}

bool SampleThreads(int pid, std::vector<ThreadSample>& out) {
    out.clear();
    const std::string base = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, DirCloser> dir(opendir(base.c_str()));
    if (!dir) {
        return false;
    }
    while (dirent* e = readdir(dir.get())) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') {
            continue;
        }
        ThreadSample t;
        t.tid = std::atoi(e->d_name);
        const std::string dirPath = base + "/" + e->d_name;
        t.comm = ReadFile(dirPath + "/comm");
        while (!t.comm.empty() && (t.comm.back() == '\n' || t.comm.back() == '\r')) {
            t.comm.pop_back();
        }
        const std::string status = "\n" + ReadFile(dirPath + "/status");
        t.voluntary = StatusField(status, "voluntary_ctxt_switches");
        t.involuntary = StatusField(status, "nonvoluntary_ctxt_switches");
        // stat: fields after the command (in parentheses): state is field 3, utime 14, stime 15.
        const std::string stat = ReadFile(dirPath + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            std::istringstream is(stat.substr(close + 2));
            std::string field;
            for (int i = 3; i <= 15 && (is >> field); ++i) {
                if (i == 14 || i == 15) {
                    t.cpuTicks += std::strtoull(field.c_str(), nullptr, 10);
                }
            }
        }
        out.push_back(t);
    }
    return !out.empty();
}

long StatusKib(int pid, const char* field) {
    const std::string status = "\n" + ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string("\n") + field + ":";
    if (status.find(key) == std::string::npos) {
        return -1;
    }
    return static_cast<long>(StatusField(status, field));
}

}  // namespace nvbench
