// The certutil commands of installation and removal: exact texts, order, pauses and shell safety.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "DesktopTestSupport.h"
#include "LogCapture.h"
#include "desktop/Desktop.h"
#include "nv_config.h"

using namespace desktoptest;

namespace {

const std::string kCert = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;
const std::string kPause = "pause 100000";

void Append(std::vector<std::string>& seq, std::vector<std::string> more) {
    seq.insert(seq.end(), more.begin(), more.end());
}
std::vector<std::string> RegistSteps(const std::string& db, const std::string& trust) {
    return {DeleteCmd(db), kPause, AddCmd(db, trust, kCert), kPause};
}
std::vector<std::string> DeleteSteps(const std::string& db) {
    return {DeleteCmd(db), kPause};
}

std::string RelativeProfiles(const std::vector<std::string>& dirs) {
    std::string ini = "[General]\nStartWithLastProfile=1\n\n";
    for (size_t i = 0; i < dirs.size(); ++i)
        ini += "[Profile" + std::to_string(i) + "]\nName=n" + std::to_string(i) +
               "\nIsRelative=1\nPath=" + dirs[i] + "\n\n";
    return ini;
}

class ProcRootGuard {
public:
    explicit ProcRootGuard(const std::string& root) { DMLinuxUtil_SetProcRoot(root.c_str()); }
    ~ProcRootGuard() { DMLinuxUtil_SetProcRoot(nullptr); }
};

}  // namespace

TEST(RootCertCommands, Regist_NoFirefoxProfiles_OnlySharedDatabase) {
    TempHome home;
    ShellRecorder rec;

    EXPECT_EQ(0, Regist_RootCert(0));

    EXPECT_EQ(RegistSteps("sql:" + home.Path() + "/.pki/nssdb", "TC"), rec.entries);
}

TEST(RootCertCommands, UsersOwnRoot_RegisteredInPlaceOfTheMachinesUnderTheSameNickname) {
    TempHome home;
    const std::string own =
        home.Path() + "/.local/share/" NV_PROGRAM_NAME "/" NV_ROOT_CERT_FILE_NAME;
    WriteFile(own, "root of the user's own\n");
    const std::string db = "sql:" + home.Path() + "/.pki/nssdb";
    ShellRecorder rec;

    Regist_RootCert(0);
    // Removal is the same whichever root was registered.
    Delete_RootCert();

    EXPECT_EQ((std::vector<std::string>{DeleteCmd(db), kPause, AddCmd(db, "TC", own), kPause,
                                        DeleteCmd(db), kPause}),
              rec.entries);
}

TEST(RootCertCommands, Regist_ThreeProfiles_SevenDeletesSevenAddsInPassOrder) {
    TempHome home;
    const std::string ff = home.Path() + "/.mozilla/firefox";
    WriteFile(ff + "/profiles.ini",
              RelativeProfiles({"a1.default", "b2.default-release", "c3.work"}) +
                  "[Profile3]\nIsRelative=0\nPath=/srv/absolute\n");
    ShellRecorder rec;

    Regist_RootCert(0);

    std::vector<std::string> expected = RegistSteps("sql:" + home.Path() + "/.pki/nssdb", "TC");
    for (const char* prefix : {"", "sql:"})
        for (const char* p : {"a1.default", "b2.default-release", "c3.work"})
            Append(expected, RegistSteps(prefix + ff + "/" + p, "TC,C,c"));
    EXPECT_EQ(expected, rec.entries);
    auto commands = rec.Commands();
    EXPECT_EQ(7, std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
                  return c.find(" -D ") != std::string::npos;
              }));
    EXPECT_EQ(7, std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
                  return c.find(" -A ") != std::string::npos;
              }));
}

TEST(RootCertCommands, Delete_ThreeProfiles_SameSevenDeletesAndReturnsThree) {
    TempHome home;
    const std::string ff = home.Path() + "/.mozilla/firefox";
    WriteFile(ff + "/profiles.ini",
              RelativeProfiles({"a1.default", "b2.default-release", "c3.work"}));
    ShellRecorder rec;

    EXPECT_EQ(3, Delete_RootCert());

    std::vector<std::string> expected = DeleteSteps("sql:" + home.Path() + "/.pki/nssdb");
    for (const char* prefix : {"", "sql:"})
        for (const char* p : {"a1.default", "b2.default-release", "c3.work"})
            Append(expected, DeleteSteps(prefix + ff + "/" + p));
    EXPECT_EQ(expected, rec.entries);
}

TEST(RootCertCommands, Regist_FortyProfiles_ThirtyTwoPerProfilePass) {
    TempHome home;
    std::vector<std::string> dirs;
    for (int i = 0; i < 40; ++i)
        dirs.push_back("p" + std::to_string(i));
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", RelativeProfiles(dirs));
    ShellRecorder rec;

    Regist_RootCert(0);

    EXPECT_EQ(2u * (1 + 32 + 32), rec.Commands().size());
    EXPECT_EQ(DeleteCmd(home.Path() + "/.mozilla/firefox/p31"), rec.Commands()[2 * 32]);
}

TEST(RootCertCommands, SandboxedBrowsers_HandledAfterThePassesWhenPresent) {
    TempHome home;
    const std::string h = home.Path();
    WriteFile(h + "/.mozilla/firefox/profiles.ini", RelativeProfiles({"main.default"}));
    const std::string snapFf = h + "/snap/firefox/common/.mozilla/firefox";
    WriteFile(snapFf + "/profiles.ini", RelativeProfiles({"s1.default", "s2.default"}) +
                                            "[Profile2]\nIsRelative=0\nPath=/abs\n");
    const std::string flatFf = h + "/.var/app/org.mozilla.firefox/.mozilla/firefox";
    WriteFile(flatFf + "/profiles.ini", RelativeProfiles({"f1.default"}));
    fs::create_directories(h + "/snap/chromium/current/.pki/nssdb");
    ShellRecorder rec;

    Regist_RootCert(0);

    std::vector<std::string> expected = RegistSteps("sql:" + h + "/.pki/nssdb", "TC");
    Append(expected, RegistSteps(h + "/.mozilla/firefox/main.default", "TC,C,c"));
    Append(expected, RegistSteps("sql:" + h + "/.mozilla/firefox/main.default", "TC,C,c"));
    Append(expected, RegistSteps("sql:" + snapFf + "/s1.default", "TC,C,c"));
    Append(expected, RegistSteps("sql:" + snapFf + "/s2.default", "TC,C,c"));
    Append(expected, RegistSteps("sql:" + flatFf + "/f1.default", "TC,C,c"));
    Append(expected, RegistSteps("sql:" + h + "/snap/chromium/current/.pki/nssdb", "TC"));
    EXPECT_EQ(expected, rec.entries);

    rec.entries.clear();
    Delete_RootCert();
    std::vector<std::string> deletes;
    for (size_t i = 0; i < expected.size(); i += 4)
        Append(deletes, DeleteSteps(expected[i].substr(12, expected[i].find(" -D ") - 12)));
    EXPECT_EQ(deletes, rec.entries);

    // The list the diagnostics tool checks is the same, with the same trust, and runs nothing.
    rec.entries.clear();
    std::vector<std::string> listed;
    ForEachRootCertDatabase(
        [&](const char* db, const char* trust) { listed.push_back(AddCmd(db, trust, kCert)); });
    std::vector<std::string> adds;
    for (size_t i = 2; i < expected.size(); i += 4)
        adds.push_back(expected[i]);
    EXPECT_EQ(adds, listed);
    EXPECT_TRUE(rec.entries.empty());
}

TEST(RootCertCommands, SandboxedChromium_FileInsteadOfDirectory_Ignored) {
    TempHome home;
    WriteFile(home.Path() + "/snap/chromium/current/.pki/nssdb", "not a directory");
    ShellRecorder rec;

    Regist_RootCert(0);

    EXPECT_EQ(RegistSteps("sql:" + home.Path() + "/.pki/nssdb", "TC"), rec.entries);
}

TEST(RootCertCommands, ShellSpecialProfilePath_QuotedNotInterpreted) {
    TempHome home;
    const std::string ff = home.Path() + "/.mozilla/firefox";
    // The value runs to the first blank: the profile directory read is "x;rm".
    WriteFile(ff + "/profiles.ini", RelativeProfiles({"x;rm -rf ~", "$(touch${IFS}pwned)"}));
    ShellRecorder rec;

    Regist_RootCert(0);

    auto c = rec.Commands();
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ("certutil -d '" + ff + "/x;rm' -D -n \"" + kNick + "\"", c[2]);
    EXPECT_EQ(AddCmd(ff + "/x;rm", "TC,C,c", kCert), c[3]);  // double quotes already protect ';'
    EXPECT_EQ("certutil -d '" + ff + "/$(touch${IFS}pwned)' -D -n \"" + kNick + "\"", c[4]);
    EXPECT_EQ(std::string("certutil -A -t \"TC,C,c\" -n \"") + kNick + "\" -i \"" + kCert +
                  "\" -d '" + ff + "/$(touch${IFS}pwned)'",
              c[5]);
}

// The same commands through the real shell, with a stand-in certutil that records its arguments.
TEST(RootCertCommands, ShellSpecialHomeAndProfile_RealShellPassesThemLiterally) {
    TempHome home("we ird;touch pwned1;$(touch pwned2)`touch pwned3`");
    const std::string ff = home.Path() + "/.mozilla/firefox";
    WriteFile(ff + "/profiles.ini", RelativeProfiles({"x;touch${IFS}pwned4", "a'b\"c"}));
    const std::string bin = home.Root() + "/bin";
    const std::string calls = home.Root() + "/calls";
    fs::create_directories(calls);
    WriteFile(bin + "/certutil",
              "#!/bin/sh\nf=$(mktemp '" + calls +
                  "/c.XXXXXX')\nfor a in \"$@\"; do printf '%s|' \"$a\"; done > \"$f\"\n");
    fs::permissions(bin + "/certutil", fs::perms::owner_all);
    const std::string savedPath = std::getenv("PATH");
    setenv("PATH", (bin + ":" + savedPath).c_str(), 1);

    Regist_RootCert(0);
    int running = DMLinuxUtil_CollectBackgroundCommands(60000);
    setenv("PATH", savedPath.c_str(), 1);

    ASSERT_EQ(0, running);
    std::vector<std::string> seen;
    for (const auto& e : fs::directory_iterator(calls))
        seen.push_back(ReadFile(e.path()));
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> expected;
    auto addPair = [&](const std::string& db, const std::string& trust) {
        expected.push_back("-d|" + db + "|-D|-n|" + kNick + "|");
        expected.push_back("-A|-t|" + trust + "|-n|" + kNick + "|-i|" + kCert + "|-d|" + db + "|");
    };
    addPair("sql:" + home.Path() + "/.pki/nssdb", "TC");
    for (const char* prefix : {"", "sql:"})
        for (const char* p : {"x;touch${IFS}pwned4", "a'b\"c"})
            addPair(prefix + ff + "/" + p, "TC,C,c");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, seen);
    for (const char* name : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
        EXPECT_FALSE(fs::exists(name)) << name;
        EXPECT_FALSE(fs::exists(home.Root() + "/" + name)) << name;
        EXPECT_FALSE(fs::exists(home.Path() + "/" + name)) << name;
    }
}

TEST(RootCertCommands, OverlongDatabasePath_SkippedWithLogLine) {
    TempHome home(std::string(225, 'h'));
    ASSERT_EQ(home.Path(), DMLinuxUtil_GetUserHOMEDir());
    ShellRecorder rec;
    LogCapture cap;

    Regist_RootCert(0);

    EXPECT_TRUE(rec.entries.empty());
    EXPECT_TRUE(cap.Contains("[CERT] database path too long, skipped: sql:" + home.Path() +
                             "/.pki/nssdb\n"));
}

TEST(RootCertCommands, NoAsk_FirefoxRunning_NoQuestionAndNothingKilled) {
    TempHome home;
    WriteFile(home.Root() + "/proc/4242/status", "Name:\tfirefox\n");
    ProcRootGuard proc(home.Root() + "/proc");
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", RelativeProfiles({"a.default"}));
    ShellRecorder rec;

    // GTK is not initialised in this test: showing a dialog here would fail loudly.
    Regist_RootCert(0);

    for (const auto& c : rec.Commands())
        EXPECT_EQ(0u, c.rfind("certutil ", 0)) << c;
    EXPECT_EQ(6u, rec.Commands().size());
}

TEST(RootCertCommands, CheckRunningBrowser_OtherPassesOrNoFirefox_AskNothing) {
    ProcRootGuard proc("/nonexistent/proc");
    LogCapture cap;

    EXPECT_EQ(0, Check_RunningBrowser(0));
    EXPECT_EQ(0, Check_RunningBrowser(3));
    EXPECT_TRUE(cap.Lines().empty());  // no process scan at all for these passes
    EXPECT_EQ(0, Check_RunningBrowser(1));
    EXPECT_TRUE(cap.Contains("err: NO_DIR\n"));
}
