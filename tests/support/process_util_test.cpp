// Process control: background commands, the command texts and the /proc scans (the single-instance
// rule built on them is the daemon's: tests/daemon/startup_policy_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "ProcessFixtures.h"
#include "ShellRecorder.h"
#include "TestFiles.h"
#include "WaitFor.h"
#include "nv_config.h"
#include "support/ProcessUtil.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using nvtest::CopyOfSleep;
using nvtest::ProcRootGuard;
using nvtest::ReadCmdline;
using nvtest::ShellRecorder;
using nvtest::Sleeper;
using nvtest::WriteFileMakingDirs;

// What the shell makes of a command word: printf echoes it back byte for byte.
std::string ShellEcho(const std::string& word) {
    std::string command = "printf '%s' " + word;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "<popen failed>";
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        out.append(buf, n);
    pclose(pipe);
    return out;
}

}  // namespace

TEST(ProcessUtil, SystemCall_SlowCommand_ReturnsBeforeItFinishes) {
    TempDir dir;
    const std::string go = dir.Path() + "/go";
    const std::string done = dir.Path() + "/done";
    std::string command = "while [ ! -e " + go + " ]; do sleep 0.05; done; touch " + done;

    ASSERT_EQ(0, DMLinuxUtil_SystemCall(command.c_str()));

    // The command cannot finish before the test lets it: the call has returned first.
    EXPECT_FALSE(fs::exists(done));
    WriteFileMakingDirs(go, "");
    EXPECT_TRUE(WaitFor([&] { return fs::exists(done); }));
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(30000));
}

TEST(ProcessUtil, SystemCall_SlowFirstCommand_LaterOneWaitsForIt) {
    TempDir dir;
    const std::string started = dir.Path() + "/started";
    const std::string go = dir.Path() + "/go";
    const std::string out = dir.Path() + "/out";
    std::string first =
        "touch " + started + "; while [ ! -e " + go + " ]; do sleep 0.05; done; printf 1 >> " + out;
    std::string second = "printf 2 >> " + out;

    ASSERT_EQ(0, DMLinuxUtil_SystemCall(first.c_str()));
    ASSERT_EQ(0, DMLinuxUtil_SystemCall(second.c_str()));

    // While the first command is held, the second does not run (given a second to show up).
    ASSERT_TRUE(WaitFor([&] { return fs::exists(started); }));
    EXPECT_FALSE(WaitFor([&] { return fs::exists(out); }, std::chrono::seconds(1)));
    WriteFileMakingDirs(go, "");
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(30000));
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("12", text);
}

TEST(ProcessUtil, Kill_Recorder_ExactCommandTexts) {
    ShellRecorder rec;

    EXPECT_EQ(0, DMLinuxUtil_KillProcessID(4321));
    EXPECT_EQ(0, DMLinuxUtil_KillProcess("firefox"));

    std::vector<std::string> expected = {"kill 4321", "killall -9 firefox"};
    EXPECT_EQ(expected, rec.Commands());
}

TEST(ProcessUtil, KillProcess_SpecialOrOverlongName_QuotedOrRefused) {
    ShellRecorder rec;
    LogCapture cap;

    DMLinuxUtil_KillProcess("fx; touch /tmp/x");
    DMLinuxUtil_KillProcess(std::string(300, 'a').c_str());

    ASSERT_EQ(1u, rec.Commands().size());
    EXPECT_EQ("killall -9 'fx; touch /tmp/x'", rec.Commands()[0]);
    EXPECT_TRUE(
        cap.Contains("DMLinuxUtil_KillProcess: command too long (311 characters), not run\n"));
}

TEST(ProcessUtil, ShellWord_OrdinaryValues_Unchanged) {
    for (const char* v :
         {"sql:/home/user/.pki/nssdb", "/home/user/.mozilla/firefox/ab12.default-release",
          "firefox-bin", "/opt/a+b/c,d@e=f%g", "/home/j\xc3\xb6ran"}) {
        EXPECT_EQ(v, DMLinuxUtil_ShellWord(v));
        EXPECT_EQ(std::string("\"") + v + "\"", DMLinuxUtil_ShellQuoted(v));
    }
}

TEST(ProcessUtil, ShellWord_SpecialValues_ShellSeesThemLiterally) {
    const std::vector<std::string> values = {"x;rm -rf ~",   "a b",   "it's",  "$(echo pwned)",
                                             "`echo pwned`", "~root", "a\"b",  "back\\slash",
                                             "new\nline",    "*",     "$HOME", ""};
    for (const auto& v : values) {
        std::string word = DMLinuxUtil_ShellWord(v.c_str());
        std::string quoted = DMLinuxUtil_ShellQuoted(v.c_str());
        EXPECT_EQ(v, ShellEcho(word)) << "word " << word;
        EXPECT_EQ(v, ShellEcho(quoted)) << "quoted " << quoted;
    }
    // Double quotes alone already protect blanks and ';': the plain text form is kept there.
    EXPECT_EQ("\"x;rm -rf ~\"", DMLinuxUtil_ShellQuoted("x;rm -rf ~"));
}

TEST(ProcessUtil, CheckProcess_StandInProcess_FoundBySubstringOfName) {
    TempDir dir;
    // A unique name, short enough for the kernel's 15-character process name.
    std::string stem = "nvt" + std::to_string(getpid() % 100000);
    Sleeper child(CopyOfSleep(dir.Path(), stem + "-bin"), dir.Path() + "/" + stem + "-bin");
    ASSERT_GT(child.Pid(), 0);

    EXPECT_EQ(child.Pid(), DMLinuxUtil_CheckProcess(stem.c_str()));
    EXPECT_EQ(0, DMLinuxUtil_CheckProcess((stem + "-binx").c_str()));
}

TEST(ProcessUtil, CheckProcess_FakeProc_SkipsNamedEntriesAndReadsZeroAsOne) {
    TempDir dir;
    const std::string& root = dir.Path();
    WriteFileMakingDirs(root + "/self/status", "Name:\tfirefox\n");   // named entry: skipped
    WriteFileMakingDirs(root + "/.5/status", "Name:\tfirefox\n");     // hidden: skipped
    WriteFileMakingDirs(root + "/77", "not a directory");             // file: skipped
    fs::create_directories(root + "/12");                             // no status file: skipped
    WriteFileMakingDirs(root + "/0/status", "Name:\tfirefox-bin\n");  // id 0 reads as 1
    ProcRootGuard guard(root);

    EXPECT_EQ(1, DMLinuxUtil_CheckProcess("firefox"));
    EXPECT_EQ(0, DMLinuxUtil_CheckProcess("chromium"));
    EXPECT_EQ(0, DMLinuxUtil_CheckProcess("Firefox"));  // case-sensitive
}

TEST(ProcessUtil, CheckProcess_NoProcDirectory_LogsAndReturnsZero) {
    ProcRootGuard guard("/nonexistent/proc");
    LogCapture cap;

    EXPECT_EQ(0, DMLinuxUtil_CheckProcess("firefox"));
    EXPECT_TRUE(cap.Contains("err: NO_DIR\n"));
    EXPECT_FALSE(DMLinuxUtil_ForEachProcess([](int, const std::string&) { return true; }));
}

TEST(ProcessUtil, ReadFirstLine_Files_FirstLineOrMinusOne) {
    TempDir dir;
    WriteFileMakingDirs(dir.Path() + "/f", "first line\nsecond\n");
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};

    EXPECT_EQ(-1, ReadFirstLine((dir.Path() + "/missing").c_str(), buf, sizeof(buf)));
    EXPECT_EQ('x', buf[0]);  // untouched

    EXPECT_EQ(0, ReadFirstLine((dir.Path() + "/f").c_str(), buf, sizeof(buf)));
    EXPECT_STREQ("first l", buf);  // cut to length - 1

    char big[64];
    EXPECT_EQ(0, ReadFirstLine((dir.Path() + "/f").c_str(), big, sizeof(big)));
    EXPECT_STREQ("first line\n", big);
}
