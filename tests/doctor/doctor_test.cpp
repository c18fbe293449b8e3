// nv-doctor against the staged installation: a temporary home installed with the program's own -I
// (real certutil databases, the staged daemon started in the background), then each broken case a
// help desk meets, each asserted by exit status, the check that names it and a valid --json.
// Files at fixed paths are replaced only inside a private mount namespace of the tool's run.
#include <json-c/json.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "WaitFor.h"
#include "nv_config.h"
#include "tests/e2e/E2eProcess.h"
#include "tests/e2e/TestUser.h"

namespace {

using namespace nve2e;
namespace fs = std::filesystem;

const std::string kProgram = std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME;
const std::string kDoctor = std::string(NV_INSTALL_DIR) + "/" + NV_DOCTOR_NAME;
const std::string kCredentialFile = std::string(NV_INSTALL_DIR) + "/" + NV_CREDENTIAL_FILE_NAME;
const std::string kNickname = "Tollan Root Authority - Velstra";

// One run of the tool: exit status, output and, for --json, the checks by name.
struct DoctorRun {
    int exitCode = -1;
    std::string output;
    bool validJson = false;
    std::string status;
    std::map<std::string, std::pair<std::string, std::string>> checks;  // name: state, detail

    std::string State(const std::string& name) const {
        auto it = checks.find(name);
        return it == checks.end() ? "(no such check)" : it->second.first;
    }
    std::string Detail(const std::string& name) const {
        auto it = checks.find(name);
        return it == checks.end() ? "" : it->second.second;
    }
};

std::string JsonText(json_object* obj, const char* key) {
    json_object* member = nullptr;  // borrowed: json_object_object_get_ex adds no reference
    if (!json_object_object_get_ex(obj, key, &member) ||
        !json_object_is_type(member, json_type_string))
        return "";
    return json_object_get_string(member);
}

// Runs the tool for home; each bind shows the first path at the second inside a private mount
// namespace of that run only.
DoctorRun RunDoctor(const std::string& home, bool json = true,
                    const std::vector<std::pair<std::string, std::string>>& binds = {}) {
    std::vector<std::string> args = {"-H", home};
    if (json)
        args.push_back("--json");
    CommandResult r;
    if (binds.empty()) {
        r = RunCommand(kDoctor, args);
    } else {
        std::vector<std::string> sh = {
            "-m", "sh", "-c",
            "while [ \"$1\" != -- ]; do mount --bind \"$1\" \"$2\" || exit 99; shift 2; done; "
            "shift; exec \"$@\"",
            "sh"};
        for (const auto& b : binds) {
            sh.push_back(b.first);
            sh.push_back(b.second);
        }
        sh.push_back("--");
        sh.push_back(kDoctor);
        sh.insert(sh.end(), args.begin(), args.end());
        r = RunCommand("unshare", sh);
    }
    DoctorRun run;
    run.exitCode = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
    run.output = r.output;
    if (!json)
        return run;
    json_object* doc = json_tokener_parse(r.output.c_str());
    json_object* checks = nullptr;  // borrowed
    run.validJson = doc != nullptr && json_object_object_get_ex(doc, "checks", &checks) &&
                    json_object_is_type(checks, json_type_array);
    if (run.validJson) {
        run.status = JsonText(doc, "status");
        for (size_t i = 0; i < json_object_array_length(checks); ++i) {
            json_object* c = json_object_array_get_idx(checks, i);  // borrowed
            run.checks[JsonText(c, "name")] = {JsonText(c, "state"), JsonText(c, "detail")};
            // Every bad check tells what to do.
            if (JsonText(c, "state") == "bad") {
                EXPECT_NE(JsonText(c, "advice"), "") << JsonText(c, "name");
            }
        }
    }
    json_object_put(doc);
    // Never key material or certificates, whatever the case.
    EXPECT_EQ(run.output.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(run.output.find("BEGIN CERTIFICATE"), std::string::npos);
    return run;
}

// Processes come and go while /proc is read: plain reads, and a process gone meanwhile is skipped.
bool FirefoxRuns() {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), &closedir);
    while (proc) {
        struct dirent* e = readdir(proc.get());
        if (e == nullptr)
            break;
        int fd = open(("/proc/" + std::string(e->d_name) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char name[64] = {};
        ssize_t n = read(fd, name, sizeof(name) - 1);
        close(fd);
        if (n > 0 && std::strstr(name, "firefox") != nullptr)
            return true;
    }
    return false;
}

bool DatabaseHoldsRoot(const std::string& dir) {
    return RunCommand("certutil", {"-L", "-d", "sql:" + dir}).output.find(kNickname) !=
           std::string::npos;
}

bool PortsFree() {
    for (unsigned short port = 4441; port <= 4445; ++port)
        if (!RunCommand("ss", {"-Htln", "sport = :" + std::to_string(port)}).output.empty())
            return false;
    return true;
}

// A home with one Firefox profile, installed with -I: the root CA in the shared database and in
// the profile, the autostart entry written and the staged daemon serving.
class DoctorInstalled : public ::testing::Test {
protected:
    void SetUp() override {
        if (RunCommand("which", {"xvfb-run"}).status != 0 ||
            RunCommand("which", {"certutil"}).status != 0)
            GTEST_SKIP() << "needs xvfb-run and certutil (scripts/install-deps.sh)";
        BecomeSubreaper();
        ASSERT_TRUE(PortsFree()) << "a port of 4441-4445 is taken";
        ASSERT_FALSE(m_home.Path().empty());
        m_profile = Home() + "/.mozilla/firefox/nv.default";
        fs::create_directories(m_profile);
        fs::create_directories(Home() + "/.config");
        ASSERT_TRUE(WriteWholeFile(Home() + "/.mozilla/firefox/profiles.ini",
                                   "[Profile0]\nName=nv\nIsRelative=1\nPath=nv.default\n"));
        ASSERT_TRUE(Install()) << "-I did not finish";
        m_port = WaitForDaemonOf(getuid(), m_pid);
        ASSERT_NE(m_port, 0) << "the daemon started by -I does not serve";
        ASSERT_TRUE(WaitFor(
            [this] {
                return DatabaseHoldsRoot(Home() + "/.pki/nssdb") && DatabaseHoldsRoot(m_profile) &&
                       fs::exists(Home() + "/.config/autostart/NorrimVelstra.desktop");
            },
            std::chrono::seconds(60)))
            << "-I did not register the root CA and write the autostart entry";
    }
    void TearDown() override { KillAllChildren(); }

    // A running Firefox (another test's stand-in) makes -I ask in a dialog nobody answers. So -I
    // waits until none runs, and when one came meanwhile and -I has not ended 20 s later, that
    // -I (it has not started the daemon yet) is ended with its session and run again.
    bool Install() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!WaitFor([] { return !FirefoxRuns(); }, std::chrono::seconds(180)))
                return false;
            // setsid: xvfb-run, its X server and -I form a session whose id is the child's.
            Launched run("/usr/bin/setsid", {"xvfb-run", "-a", kProgram, "-H", Home(), "-I"});
            int status = WaitExit(run.Pid(), std::chrono::seconds(20));
            if (status == -1 && !FirefoxRuns())
                status = WaitExit(run.Pid(), std::chrono::seconds(60));
            if (status != -1)
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            kill(-run.Pid(), SIGKILL);
            WaitExit(run.Pid(), std::chrono::seconds(10));
        }
        return false;
    }

    std::string Home() const { return m_home.Path(); }
    // The user's own credential file that -I issued.
    std::string OwnCredentialFile() const {
        return Home() + "/.local/share/" NV_PROGRAM_NAME "/" NV_CREDENTIAL_FILE_NAME;
    }

    TempDir m_home;
    std::string m_profile;
    pid_t m_pid = -1;
    unsigned short m_port = 0;
};

TEST(Doctor, UsageErrors_ExitTwo) {
    EXPECT_EQ(RunCommand(kDoctor, {"--bogus"}).status, 2 << 8);
    EXPECT_EQ(RunCommand(kDoctor, {"-H"}).status, 2 << 8);
    EXPECT_EQ(RunCommand(kDoctor, {"-H", std::string(300, 'x')}).status, 2 << 8);
    CommandResult help = RunCommand(kDoctor, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: nv-doctor [-H dir] [--json]"), std::string::npos);
}

TEST(Doctor, BrowserPolicies_ReportedWhenPresentWarnedWhenBroken) {
    TempDir home;
    // The staged policy places are this build's own; what the test writes there goes again.
    struct Cleanup {
        ~Cleanup() {
            std::error_code ignored;
            fs::remove(fs::path(NV_CHROMIUM_POLICY_DIR) / "nv-allow.json", ignored);
            fs::remove(fs::path(NV_CHROMIUM_POLICY_DIR) / "nv-broken.json", ignored);
            fs::remove(NV_FIREFOX_POLICY_FILE, ignored);
        }
    } cleanup;
    DoctorRun run = RunDoctor(home.Path());
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.Detail("chromium policy"),
              std::string("none in ") + NV_CHROMIUM_POLICY_DIR +
                  ": each public site needs the user's local network permission");

    fs::create_directories(NV_CHROMIUM_POLICY_DIR);
    fs::create_directories(fs::path(NV_FIREFOX_POLICY_FILE).parent_path());
    const std::string allow = std::string(NV_CHROMIUM_POLICY_DIR) + "/nv-allow.json";
    ASSERT_TRUE(WriteWholeFile(
        allow, "{ \"LocalNetworkAccessAllowedForUrls\": [\"https://app.example.com\"] }\n"));
    ASSERT_TRUE(
        WriteWholeFile(NV_FIREFOX_POLICY_FILE,
                       "{ \"policies\": { \"LocalNetworkAccess\": { \"Enabled\": true } } }"));
    run = RunDoctor(home.Path());
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("chromium policy"), "good");
    EXPECT_NE(run.Detail("chromium policy").find(allow), std::string::npos);
    EXPECT_NE(run.Detail("chromium policy").find("[ \"https://app.example.com\" ]"),
              std::string::npos)
        << run.Detail("chromium policy");
    EXPECT_NE(run.Detail("firefox policy").find("LocalNetworkAccess in "), std::string::npos)
        << run.Detail("firefox policy");

    // A policy file Chromium cannot read is a warning, not a failure.
    ASSERT_TRUE(WriteWholeFile(std::string(NV_CHROMIUM_POLICY_DIR) + "/nv-broken.json", "{ nope"));
    run = RunDoctor(home.Path());
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("chromium policy files"), "warning");
    EXPECT_NE(run.Detail("chromium policy files").find("nv-broken.json"), std::string::npos);
    EXPECT_EQ(run.State("chromium policy"), "good");
}

TEST(Doctor, AutostartEntries_UserEntryMissingIsBadUnlessThePackagesEntryWillWriteIt) {
    TempDir home;
    const std::string systemEntry = std::string(NV_SYSTEM_AUTOSTART_DIR) + "/NorrimVelstra.desktop";
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    } cleanup{systemEntry};
    DoctorRun run = RunDoctor(home.Path());
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("autostart (user)"), "bad");
    EXPECT_EQ(run.State("autostart (system)"), "good");

    fs::create_directories(NV_SYSTEM_AUTOSTART_DIR);
    ASSERT_TRUE(WriteWholeFile(systemEntry, "[Desktop Entry]\nType=Application\nExec=" + kProgram +
                                                " -I\nTryExec=" + kProgram + "\n"));
    run = RunDoctor(home.Path());
    EXPECT_EQ(run.State("autostart (user)"), "warning") << run.Detail("autostart (user)");
    EXPECT_EQ(run.Detail("autostart (system)"), systemEntry + " runs \"" + kProgram + " -I\"");

    // An entry of the user's that starts something else is named with what it runs.
    const std::string userEntry = home.Path() + "/.config/autostart/NorrimVelstra.desktop";
    fs::create_directories(fs::path(userEntry).parent_path());
    ASSERT_TRUE(WriteWholeFile(userEntry, "[Desktop Entry]\nExec=/usr/bin/true -A\n"));
    run = RunDoctor(home.Path());
    EXPECT_EQ(run.State("autostart (user)"), "bad");
    EXPECT_EQ(run.Detail("autostart (user)"),
              userEntry + " runs \"/usr/bin/true -A\", not \"" + kProgram + " -A\"");
}

TEST_F(DoctorInstalled, HealthyAfterInstall_ExitsZeroEveryCheckGoodOrWarning) {
    DoctorRun run = RunDoctor(Home());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.status, "good");
    for (const auto& [name, check] : run.checks)
        EXPECT_NE(check.first, "bad") << name << ": " << check.second;
    EXPECT_EQ(run.State("daemon"), "good");
    EXPECT_NE(run.Detail("daemon").find("pid " + std::to_string(m_pid) + ", " + kProgram),
              std::string::npos)
        << run.Detail("daemon");
    EXPECT_NE(run.Detail("daemon").find("serving port " + std::to_string(m_port)),
              std::string::npos);
    EXPECT_EQ(run.Detail("port " + std::to_string(m_port)),
              "this user's daemon (pid " + std::to_string(m_pid) + ")");
    for (const char* name :
         {"tls 127.0.0.1", "tls localhost", "root CA validity", "root CA name constraints",
          "credential file", "module", "module version", "autostart (user)"})
        EXPECT_EQ(run.State(name), "good") << name << ": " << run.Detail(name);
    EXPECT_EQ(run.State("trust " + Home() + "/.pki/nssdb"), "good");
    EXPECT_EQ(run.State("trust " + m_profile), "good");
    // -I gave the user credentials of their own, and the daemon serves them.
    EXPECT_EQ(run.State("credentials"), "good");
    EXPECT_EQ(run.Detail("credentials"), "the daemon on port " + std::to_string(m_port) +
                                             " serves the user's own, " + OwnCredentialFile());
    EXPECT_EQ(run.Detail("credential file").find(OwnCredentialFile() + " deciphers"), 0u)
        << run.Detail("credential file");

    DoctorRun text = RunDoctor(Home(), /*json=*/false);
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.output.find("[ OK ] daemon: running, pid " + std::to_string(m_pid)),
              std::string::npos)
        << text.output;
}

TEST_F(DoctorInstalled, ProfileWithoutRootCa_BadNamingThatDatabase) {
    // A profile made after the installation: a real database that never saw -I.
    const std::string late = Home() + "/.mozilla/firefox/late.default";
    fs::create_directories(late);
    ASSERT_EQ(RunCommand("certutil", {"-N", "-d", "sql:" + late, "--empty-password"}).status, 0);
    ASSERT_TRUE(WriteWholeFile(Home() + "/.mozilla/firefox/profiles.ini",
                               "[Profile0]\nName=nv\nIsRelative=1\nPath=nv.default\n\n"
                               "[Profile1]\nName=late\nIsRelative=1\nPath=late.default\n"));

    DoctorRun run = RunDoctor(Home());
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.status, "bad");
    EXPECT_EQ(run.State("trust " + late), "bad");
    EXPECT_NE(run.Detail("trust " + late).find("is missing from " + late), std::string::npos)
        << run.Detail("trust " + late);
    EXPECT_EQ(run.State("trust " + m_profile), "good");
    EXPECT_EQ(run.State("trust " + Home() + "/.pki/nssdb"), "good");

    // The text names the database and says what to do under it.
    DoctorRun text = RunDoctor(Home(), /*json=*/false);
    EXPECT_EQ(text.exitCode, 1);
    const size_t line = text.output.find("[FAIL] trust " + late + ": ");
    ASSERT_NE(line, std::string::npos) << text.output;
    EXPECT_NE(text.output.find("       -> register the root CA again: " + kProgram + " -I", line),
              std::string::npos);
}

TEST_F(DoctorInstalled, BrokenCredentialFileOrMissingModule_BadAndNamed) {
    if (RunCommand("unshare", {"-m", "true"}).status != 0)
        GTEST_SKIP() << "a private mount namespace needs CAP_SYS_ADMIN";
    TempDir scratch;
    const std::string broken = scratch.File("broken.dat");
    ASSERT_TRUE(WriteWholeFile(broken, std::string(160, '\x5a')));
    ASSERT_EQ(chmod(broken.c_str(), 0600), 0);
    // The user's own file, which the user's databases depend on: a start now would fall back to
    // the machine's, which they no longer trust.
    DoctorRun run = RunDoctor(Home(), true, {{broken, OwnCredentialFile()}});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("credential file"), "bad");
    EXPECT_NE(run.Detail("credential file").find(OwnCredentialFile() + " does not decipher"),
              std::string::npos)
        << run.Detail("credential file");
    EXPECT_EQ(run.State("credentials"), "bad");
    EXPECT_NE(run.Detail("credentials")
                  .find("(" + OwnCredentialFile() + " refused: cannot be deciphered (code -3))"),
              std::string::npos)
        << run.Detail("credentials");
    // The running daemon read the file before it was broken.
    EXPECT_EQ(run.State("tls 127.0.0.1"), "good");
    // The machine's file is not this user's any more: broken, it changes nothing here.
    run = RunDoctor(Home(), true, {{broken, kCredentialFile}});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.State("credential file"), "good");
    EXPECT_EQ(run.State("credentials"), "good");

    const std::string empty = scratch.File("empty");
    fs::create_directories(empty);
    run = RunDoctor(Home(), true, {{empty, fs::path(NV_MODULE_PATH).parent_path().string()}});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("module"), "bad");
    EXPECT_EQ(run.Detail("module"), std::string("no module at ") + NV_MODULE_PATH);
    EXPECT_EQ(run.State("credential file"), "good");
}

TEST_F(DoctorInstalled, DaemonHungThenStopped_BadAndPortsNamed) {
    // A stopped daemon still has its port accept connections, but never answers: the tool gives
    // up on the handshake instead of waiting with it.
    ASSERT_EQ(kill(m_pid, SIGSTOP), 0);
    DoctorRun run = RunDoctor(Home());
    kill(m_pid, SIGCONT);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("daemon"), "good");
    EXPECT_EQ(run.State("tls 127.0.0.1"), "bad");
    EXPECT_NE(run.Detail("tls 127.0.0.1").find("did not complete the TLS handshake"),
              std::string::npos)
        << run.Detail("tls 127.0.0.1");
    // One silent handshake is enough: the rest is not tried, so the run stays short.
    EXPECT_EQ(run.Detail("tls localhost"),
              "not tried: the daemon did not answer the handshake before");
    EXPECT_EQ(run.State("module version"), "warning");

    ASSERT_EQ(kill(m_pid, SIGINT), 0);
    ASSERT_NE(WaitExit(m_pid), -1);
    run = RunDoctor(Home());
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("daemon"), "bad");
    EXPECT_NE(run.Detail("daemon").find("no daemon of this user runs"), std::string::npos);
    EXPECT_EQ(run.Detail("port " + std::to_string(m_port)), "free");
}

TEST(DoctorOtherUser, AnotherUsersDaemonOn4441_PortNamedAndOwnDaemonGoesOn) {
    if (getuid() != 0)
        GTEST_SKIP() << "creating a second user needs root";
    BecomeSubreaper();
    ASSERT_TRUE(PortsFree()) << "a port of 4441-4445 is taken";
    TestUser other;
    ASSERT_TRUE(other.Ready()) << "useradd failed";
    TempDir home;
    Launched theirs("/usr/bin/setpriv", other.As({kProgram, "-H", other.Home(), "-A"}));
    ASSERT_EQ(WaitExit(theirs.Pid()), 0);
    pid_t theirPid = -1;
    ASSERT_EQ(WaitForDaemonOf(other.Uid(), theirPid), 4441);

    DoctorRun run = RunDoctor(home.Path());
    EXPECT_EQ(run.exitCode, 1);
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("daemon"), "bad");
    EXPECT_NE(run.Detail("daemon").find("the next start would serve on port 4442"),
              std::string::npos)
        << run.Detail("daemon");
    EXPECT_NE(run.Detail("port 4441")
                  .find("another user's daemon (user " + other.Name() + ", pid " +
                        std::to_string(theirPid) + ")"),
              std::string::npos)
        << run.Detail("port 4441");

    // This user's daemon goes on to 4442, and the tool finds it there.
    Launched mine(kProgram, {"-H", home.Path(), "-A"});
    ASSERT_EQ(WaitExit(mine.Pid()), 0);
    pid_t myPid = -1;
    ASSERT_EQ(WaitForDaemonOf(getuid(), myPid), 4442);
    run = RunDoctor(home.Path());
    ASSERT_TRUE(run.validJson) << run.output;
    EXPECT_EQ(run.State("daemon"), "good");
    EXPECT_NE(run.Detail("daemon").find("serving port 4442"), std::string::npos);
    EXPECT_EQ(run.State("port 4441"), "good");
    EXPECT_EQ(run.State("tls localhost"), "good");
    // This user never ran -I: served with the machine's credentials, which is warned about.
    EXPECT_EQ(run.State("credentials"), "warning");
    EXPECT_EQ(run.Detail("credentials")
                  .find("the daemon on port 4442 serves the machine's, " + kCredentialFile +
                        " (no credential file of the user's own at " + home.Path() +
                        "/.local/share/" NV_PROGRAM_NAME "/"),
              0u)
        << run.Detail("credentials");
    KillAllChildren();
}

}  // namespace
