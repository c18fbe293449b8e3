// Test helper: finds a child of this process in /proc by a text in its command line (the daemon
// under test is recognised by its temporary home directory).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

inline pid_t FindChildWithArgument(const std::string& marker) {
    struct DirCloser {
        void operator()(DIR* d) const { closedir(d); }
    };
    std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
    if (!dir)
        return -1;
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    };
    const pid_t self = getpid();
    while (dirent* e = readdir(dir.get())) {
        pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
        auto paren = stat.rfind(')');
        if (paren == std::string::npos || paren + 2 > stat.size())
            continue;
        std::istringstream rest(stat.substr(paren + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid != self)
            continue;
        if (slurp("/proc/" + std::to_string(pid) + "/cmdline").find(marker) != std::string::npos)
            return pid;
    }
    return -1;
}
