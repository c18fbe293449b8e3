// Test helpers for a second local user: a throw-away user with a temporary home, and waiting for
// the daemon of a given user among the children of this process.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "E2eProcess.h"

namespace nve2e {

// A throw-away user with a temporary home. Every process of the user is killed and the user and
// the home are removed at the end, pass or fail.
class TestUser {
public:
    // tag tells the users of one test apart.
    explicit TestUser(const std::string& tag = "") {
        char dirTemplate[] = "/tmp/nv_e2e_user_XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr)
            return;
        m_home = dirTemplate;
        m_name = "nve2e" + tag + std::to_string(getpid());
        CommandResult added = RunCommand("useradd", {"-M", "-d", m_home, "-s", "/bin/sh", m_name});
        if (added.status != 0)
            return;
        struct passwd* pw = getpwnam(m_name.c_str());
        if (pw == nullptr)
            return;
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        if (chown(m_home.c_str(), m_uid, m_gid) != 0)
            m_uid = static_cast<uid_t>(-1);
    }
    ~TestUser() {
        if (!m_name.empty()) {
            RunCommand("pkill", {"-KILL", "-u", m_name});
            RunCommand("userdel", {"-f", m_name});
        }
        std::error_code ignored;
        if (!m_home.empty())
            std::filesystem::remove_all(m_home, ignored);
    }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    bool Ready() const { return m_uid != static_cast<uid_t>(-1); }
    uid_t Uid() const { return m_uid; }
    const std::string& Name() const { return m_name; }
    const std::string& Home() const { return m_home; }

    // The arguments of setpriv that run command as this user, with HOME at the user's home and
    // no XDG_DATA_HOME of the test's session (where the user's own credentials would be sought).
    std::vector<std::string> As(const std::vector<std::string>& command) const {
        std::vector<std::string> args = {"--reuid=" + std::to_string(m_uid),
                                         "--regid=" + std::to_string(m_gid),
                                         "--clear-groups",
                                         "--",
                                         "env",
                                         "-u",
                                         "XDG_DATA_HOME",
                                         "HOME=" + m_home};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

private:
    std::string m_name;
    std::string m_home;
    uid_t m_uid = static_cast<uid_t>(-1);
    gid_t m_gid = static_cast<gid_t>(-1);
};

// The real user id of a process, from the Uid line of its status file, or -1.
inline long RealUidOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Uid:", 0) == 0)
            return std::stol(line.substr(4));
    return -1;
}

// The serving child of this process owned by uid, once it listens; its port, or 0.
inline unsigned short WaitForDaemonOf(uid_t uid, pid_t& pid) {
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        for (pid_t child : ChildrenOfThisProcess()) {
            if (RealUidOf(child) != static_cast<long>(uid))
                continue;
            pid = child;
            for (unsigned short port = 4441; port <= 4445; ++port) {
                CommandResult owner =
                    RunCommand("ss", {"-Htlnp", "sport = :" + std::to_string(port)});
                if (owner.output.find("pid=" + std::to_string(child) + ",") != std::string::npos)
                    return port;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

}  // namespace nve2e
