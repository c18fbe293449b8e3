// Two desktop users on one machine: each user's autostart start (-A) gets a daemon of its own,
// serving on the next free port, and each user's page-side client finds that user's daemon and
// is refused by the other's. Runs as root (it creates a throw-away user); skipped otherwise.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "E2eProcess.h"
#include "TestUser.h"
#include "nv_config.h"

namespace {

using namespace nve2e;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The page-side client under Node, trusting the staged root CA; run as user when one is given.
std::string ClientFinds(const TestUser* user = nullptr) {
    const std::vector<std::string> node = {
        std::string("NODE_EXTRA_CA_CERTS=") + NV_INSTALL_DIR + "/" + NV_ROOT_CERT_FILE_NAME,
        NV_NODE_BINARY, NV_OWN_DAEMON_CLIENT};
    if (user == nullptr)
        return RunCommand("env", node).output;
    std::vector<std::string> command = {"env"};
    command.insert(command.end(), node.begin(), node.end());
    return RunCommand("setpriv", user->As(command)).output;
}

TEST(MultiUserE2E, TwoUsers_EachAutostartGetsItsOwnDaemonAndEachClientFindsOnlyItsOwn) {
    if (getuid() != 0)
        GTEST_SKIP() << "creating a second user needs root";
    BecomeSubreaper();
    for (unsigned short port = 4441; port <= 4442; ++port)
        ASSERT_EQ(RunCommand("ss", {"-Htln", "sport = :" + std::to_string(port)}).output, "")
            << "port " << port << " is taken";
    TestUser other;
    ASSERT_TRUE(other.Ready()) << "useradd failed";
    char homeTemplate[] = "/tmp/nv_e2e_home_XXXXXX";
    ASSERT_NE(mkdtemp(homeTemplate), nullptr);
    const std::string home = homeTemplate;

    // This user's login first: its daemon takes 4441.
    Launched first(NV_DAEMON_BINARY, {"-H", home, "-A"});
    ASSERT_EQ(WaitExit(first.Pid()), 0);
    pid_t mine = -1;
    ASSERT_EQ(WaitForDaemonOf(getuid(), mine), 4441);

    // The other user's autostart start with the same program path must not take this user's
    // daemon for its own: it forks a daemon of its own, which walks on to 4442.
    std::vector<std::string> start = other.As({NV_DAEMON_BINARY, "-H", other.Home(), "-A"});
    Launched second("/usr/bin/setpriv", start);
    ASSERT_EQ(WaitExit(second.Pid()), 0);
    pid_t theirs = -1;
    EXPECT_EQ(WaitForDaemonOf(other.Uid(), theirs), 4442) << "the second user got no daemon";

    // Each user's client probes from 4441 on: this user's stops at its own daemon; the other
    // user's is refused by this user's daemon on 4441 and finds its own on 4442.
    EXPECT_EQ(ClientFinds(), "{\"port\":4441,\"status\":\"TRUE\"}\n");
    EXPECT_EQ(ClientFinds(&other), "{\"port\":4442,\"status\":\"TRUE\"}\n");

    // A second autostart start of either user still ends quietly (the single-instance rule holds
    // per user).
    Launched again("/usr/bin/setpriv", other.As({NV_DAEMON_BINARY, "-H", other.Home(), "-A"}));
    EXPECT_EQ(WaitExit(again.Pid()), 0);
    int daemons = 0;
    for (pid_t child : ChildrenOfThisProcess())
        if (RealUidOf(child) == static_cast<long>(other.Uid()))
            ++daemons;
    EXPECT_EQ(daemons, 1);

    KillAllChildren();
    std::error_code ignored;
    fs::remove_all(home, ignored);
}

}  // namespace
