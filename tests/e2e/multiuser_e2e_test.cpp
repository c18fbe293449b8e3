// Two desktop users on one machine: each user's autostart start (-A) gets a daemon of its own,
// serving on the next free port, and each user's page-side client finds that user's daemon and
// is refused by the other's. Each user's installation (-I) gives that user credentials of their
// own, so that no user's server is trusted by another user's databases. Runs as root (it creates
// throw-away users); skipped otherwise.
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
    return RunCommand("setpriv", user->As(node)).output;
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

// ---- Credentials of each user's own ----------------------------------------------------------

constexpr const char* kNickname = "Tollan Root Authority - Velstra";

// Runs a shell command line as root, or as user when one is given.
CommandResult Shell(const std::string& line, const TestUser* user = nullptr) {
    if (user == nullptr)
        return RunCommand("sh", {"-c", line});
    return RunCommand("setpriv", user->As({"sh", "-c", line}));
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// A running process whose name holds "firefox" would make -I ask in a dialog nobody answers.
bool FirefoxRuns() {
    return Shell("grep -qs firefox /proc/[0-9]*/status").status == 0;
}

// The certificate a daemon presents on port, as PEM (fetched as the daemon's own user: daemons
// refuse other users' connections), written to path for the other users to read.
bool SaveServedCert(unsigned short port, const TestUser* user, const std::string& path) {
    CommandResult r = Shell("openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                                " </dev/null 2>/dev/null | openssl x509",
                            user);
    std::ofstream(path) << r.output;
    chmod(path.c_str(), 0644);
    return r.status == 0 && r.output.find("-----BEGIN CERTIFICATE-----") == 0;
}

// NSS itself, with nothing but the trust of db, takes cert for a TLS server's.
bool NssAcceptsServer(const std::string& db, const std::string& cert, const TestUser* user) {
    return Shell("vfychain -d " + Quoted(db) + " -u 1 -a " + Quoted(cert), user).status == 0;
}

// The SHA-256 fingerprint of a PEM certificate, or "" when none can be read.
std::string Fingerprint(const std::string& pemCommand, const TestUser* user = nullptr) {
    CommandResult r = Shell(pemCommand + " | openssl x509 -noout -fingerprint -sha256", user);
    return r.status == 0 ? r.output : "";
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

TEST(MultiUserE2E, TwoUsersInstall_EachServedWithARootOfTheirOwnThatNoOtherServerPasses) {
    if (getuid() != 0)
        GTEST_SKIP() << "creating test users needs root";
    for (const char* tool : {"xvfb-run", "certutil", "vfychain", "openssl"})
        if (Shell(std::string("command -v ") + tool).status != 0)
            GTEST_SKIP() << tool << " is not installed";
    BecomeSubreaper();
    for (unsigned short port = 4441; port <= 4443; ++port)
        ASSERT_EQ(RunCommand("ss", {"-Htln", "sport = :" + std::to_string(port)}).output, "")
            << "port " << port << " is taken";
    TestUser a("a");
    TestUser b("b");
    ASSERT_TRUE(a.Ready() && b.Ready()) << "useradd failed";
    char workTemplate[] = "/tmp/nv_e2e_certs_XXXXXX";
    ASSERT_NE(mkdtemp(workTemplate), nullptr);
    const std::string work = workTemplate;
    chmod(work.c_str(), 0755);
    const std::string machineRoot = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;

    // A user who never ran the new installation: served with the machine's credentials as before.
    const std::string home = work + "/home";
    fs::create_directories(home);
    Launched plain("/usr/bin/env", {"-u", "XDG_DATA_HOME", NV_DAEMON_BINARY, "-H", home, "-A"});
    ASSERT_EQ(WaitExit(plain.Pid()), 0);
    pid_t plainPid = -1;
    ASSERT_EQ(WaitForDaemonOf(getuid(), plainPid), 4441);
    const std::string machineServed = work + "/machine.pem";
    ASSERT_TRUE(SaveServedCert(4441, nullptr, machineServed));
    EXPECT_EQ(
        Shell("openssl verify -CAfile " + Quoted(machineRoot) + " " + Quoted(machineServed)).status,
        0);

    // Each user installs in the desktop session (GTK needs a display); the daemon -I starts
    // takes the next free port.
    struct Installed {
        const TestUser* user;
        unsigned short port = 0;
        std::string dir = "", root = "", db = "", served = "";
    };
    Installed users[] = {{&a}, {&b}};
    for (Installed& u : users) {
        SCOPED_TRACE(u.user->Name());
        for (auto until = Clock::now() + 180s; FirefoxRuns() && Clock::now() < until;)
            std::this_thread::sleep_for(500ms);
        Launched install("/usr/bin/setpriv", u.user->As({"xvfb-run", "-a", NV_DAEMON_BINARY, "-H",
                                                         u.user->Home(), "-I"}));
        const int status = WaitExit(install.Pid(), 120s);
        ASSERT_EQ(status, 0) << install.Err().Text();
        install.Err().WaitForEof(10s);
        for (const char* report : {"Sanitizer", "runtime error:"})
            EXPECT_EQ(install.Err().Text().find(report), std::string::npos) << install.Err().Text();
        pid_t pid = -1;
        u.port = WaitForDaemonOf(u.user->Uid(), pid);
        ASSERT_NE(u.port, 0) << "no daemon after -I";
        u.dir = u.user->Home() + "/.local/share/" NV_PROGRAM_NAME;
        u.root = u.dir + "/" NV_ROOT_CERT_FILE_NAME;
        u.db = "sql:" + u.user->Home() + "/.pki/nssdb";
        EXPECT_EQ(ModeOf(u.dir), 0700u);
        EXPECT_EQ(ModeOf(u.dir + "/" NV_CREDENTIAL_FILE_NAME), 0600u);
        EXPECT_EQ(ModeOf(u.root), 0600u);
        // certutil runs in the background of -I: wait until the database holds the user's root.
        const std::string own = Fingerprint("cat " + Quoted(u.root), u.user);
        ASSERT_NE(own, "");
        const std::string listed =
            "certutil -L -d " + Quoted(u.db) + " -n " + Quoted(kNickname) + " -a 2>/dev/null";
        std::string inDb;
        for (auto until = Clock::now() + 60s; Clock::now() < until;
             std::this_thread::sleep_for(200ms))
            if ((inDb = Fingerprint(listed, u.user)) == own)
                break;
        EXPECT_EQ(inDb, own) << "the database does not hold the user's own root";
        u.served = work + "/" + u.user->Name() + ".pem";
        ASSERT_TRUE(SaveServedCert(u.port, u.user, u.served));
    }

    // Three different roots, and each daemon's chain passes its own user's databases only.
    const std::string machine = Fingerprint("cat " + Quoted(machineRoot));
    EXPECT_NE(Fingerprint("cat " + Quoted(users[0].root), &a), machine);
    EXPECT_NE(Fingerprint("cat " + Quoted(users[1].root), &b), machine);
    EXPECT_NE(Fingerprint("cat " + Quoted(users[0].root), &a),
              Fingerprint("cat " + Quoted(users[1].root), &b));
    for (const Installed& u : users) {
        SCOPED_TRACE(u.user->Name());
        for (const Installed& v : users)
            EXPECT_EQ(NssAcceptsServer(u.db, v.served, u.user), &u == &v) << v.user->Name();
        // What any local user can take from the machine's file is no longer trusted.
        EXPECT_FALSE(NssAcceptsServer(u.db, machineServed, u.user));
    }

    // An installation in a home given with -H, which is not the password database's: the daemon
    // it starts (with -S, no -H) serves the credentials issued there all the same.
    const std::string other = work + "/other";
    fs::create_directories(other);
    for (auto until = Clock::now() + 180s; FirefoxRuns() && Clock::now() < until;)
        std::this_thread::sleep_for(500ms);
    Launched install("/usr/bin/env", {"-u", "XDG_DATA_HOME", "xvfb-run", "-a", NV_DAEMON_BINARY,
                                      "-H", other, "-I"});
    ASSERT_EQ(WaitExit(install.Pid(), 120s), 0) << install.Err().Text();
    unsigned short port = 0;
    for (auto until = Clock::now() + 60s; port == 0 && Clock::now() < until;
         std::this_thread::sleep_for(100ms))
        for (unsigned short p = 4441; p <= 4445 && port == 0; ++p)
            if (p != 4441 && p != users[0].port && p != users[1].port &&
                RunCommand("ss", {"-Htln", "sport = :" + std::to_string(p)}).output != "")
                port = p;
    ASSERT_NE(port, 0) << "no daemon after -H " << other << " -I";
    const std::string otherServed = work + "/other.pem";
    ASSERT_TRUE(SaveServedCert(port, nullptr, otherServed));
    EXPECT_EQ(Shell("openssl verify -CAfile " +
                    Quoted(other + "/.local/share/" NV_PROGRAM_NAME "/" NV_ROOT_CERT_FILE_NAME) +
                    " " + Quoted(otherServed))
                  .status,
              0);

    KillAllChildren();
    std::error_code ignored;
    fs::remove_all(work, ignored);
}

}  // namespace
