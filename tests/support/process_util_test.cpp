// Process control: background commands, the command texts, /proc scans and the single-instance rule.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "nv_config.h"
#include "support/ProcessUtil.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

class ShellRecorder : public IDMShellRunner {
public:
    ShellRecorder() { DMLinuxUtil_SetShellRunner(this); }
    ~ShellRecorder() override { DMLinuxUtil_SetShellRunner(nullptr); }
    int Run(const char* command) override {
        commands.emplace_back(command);
        return 0;
    }
    void Pause(unsigned int) override {}
    std::vector<std::string> commands;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/nv_proc_XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

template <typename Pred>
bool WaitFor(Pred pred, int seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ReadCmdline(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.substr(0, text.find('\0'));
}

// A long sleeping child started from program with the given argument 0; killed at scope end.
class Sleeper {
public:
    Sleeper(const std::string& program, const std::string& arg0) {
        std::vector<char*> argv = {const_cast<char*>(arg0.c_str()), const_cast<char*>("300"),
                                   nullptr};
        if (posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        if (m_pid > 0)
            WaitFor([&] { return ReadCmdline(m_pid) == arg0; });
    }
    ~Sleeper() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

std::string CopyOfSleep(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name;
    fs::copy_file("/bin/sleep", path);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

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

class ProcRootGuard {
public:
    explicit ProcRootGuard(const std::string& root) { DMLinuxUtil_SetProcRoot(root.c_str()); }
    ~ProcRootGuard() { DMLinuxUtil_SetProcRoot(nullptr); }
};

}  // namespace

TEST(ProcessUtil, SystemCall_SlowCommand_ReturnsBeforeItFinishes) {
    TempDir dir;
    const std::string go = dir.Path() + "/go";
    const std::string done = dir.Path() + "/done";
    std::string command = "while [ ! -e " + go + " ]; do sleep 0.05; done; touch " + done;

    ASSERT_EQ(0, DMLinuxUtil_SystemCall(command.c_str()));

    // The command cannot finish before the test lets it: the call has returned first.
    EXPECT_FALSE(fs::exists(done));
    WriteFile(go, "");
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
    EXPECT_FALSE(WaitFor([&] { return fs::exists(out); }, /*seconds=*/1));
    WriteFile(go, "");
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(30000));
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("12", text);
}

TEST(ProcessUtil, KillAndRestart_Recorder_ExactCommandTexts) {
    ShellRecorder rec;

    EXPECT_EQ(0, DMLinuxUtil_KillProcessID(4321));
    EXPECT_EQ(0, DMLinuxUtil_KillProcess("firefox"));
    EXPECT_EQ(0, DMLinuxUtil_StartSelf());

    std::vector<std::string> expected = {
        "kill 4321", "killall -9 firefox",
        std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME + " -S"};
    EXPECT_EQ(expected, rec.commands);
}

TEST(ProcessUtil, KillProcess_SpecialOrOverlongName_QuotedOrRefused) {
    ShellRecorder rec;
    LogCapture cap;

    DMLinuxUtil_KillProcess("fx; touch /tmp/x");
    DMLinuxUtil_KillProcess(std::string(300, 'a').c_str());

    ASSERT_EQ(1u, rec.commands.size());
    EXPECT_EQ("killall -9 'fx; touch /tmp/x'", rec.commands[0]);
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
    WriteFile(root + "/self/status", "Name:\tfirefox\n");   // named entry: skipped
    WriteFile(root + "/.5/status", "Name:\tfirefox\n");     // hidden: skipped
    WriteFile(root + "/77", "not a directory");             // file: skipped
    fs::create_directories(root + "/12");                   // no status file: skipped
    WriteFile(root + "/0/status", "Name:\tfirefox-bin\n");  // id 0 reads as 1
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
    EXPECT_EQ(-1, DMLinuxUtil_CheckProcessCmdline("/x"));
}

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override { g_nSameProcessCount = 1; }
    void TearDown() override { g_nSameProcessCount = 1; }
    TempDir m_dir;
};

TEST_F(SingleInstance, CheckProcessCmdline_OnlyOneInstance_ReturnsOneAndLogsEachProcess) {
    std::string program = CopyOfSleep(m_dir.Path(), "NorrimVelstraSvc");
    Sleeper first(program, program);
    ASSERT_GT(first.Pid(), 0);
    LogCapture cap;

    EXPECT_EQ(1, DMLinuxUtil_CheckProcessCmdline(program.c_str()));

    auto lines = cap.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("[NOT] main, checkSameProcess() check OK.", lines.back());
    int own = cap.IndexOf("[" + std::to_string(first.Pid()) + "] " + program + "\n");
    EXPECT_GE(own, 0);
    EXPECT_GE(cap.IndexOf("[" + std::to_string(getpid()) + "] " + ReadCmdline(getpid()) + "\n"), 0);
    EXPECT_EQ(2, g_nSameProcessCount);  // raised by the one match, never reset
}

TEST_F(SingleInstance, CheckProcessCmdline_TwoProcessesSamePath_ReturnsMinusOne) {
    std::string program = CopyOfSleep(m_dir.Path(), "NorrimVelstraSvc");
    Sleeper first(program, program);
    Sleeper second(program, program);
    ASSERT_GT(second.Pid(), 0);

    EXPECT_EQ(-1, DMLinuxUtil_CheckProcessCmdline(program.c_str()));
}

TEST_F(SingleInstance, CheckProcessCmdline_CallerAndOtherStartedWithCallersPath_ReturnsMinusOne) {
    // The caller's own entry is the one allowed match; a parallel run of this test binary would
    // only add further matches, so the answer stays -1 either way.
    const std::string self = ReadCmdline(getpid());
    ASSERT_FALSE(self.empty());
    Sleeper other("/bin/sleep", self);  // a second process that reports the caller's program path
    ASSERT_GT(other.Pid(), 0);
    EXPECT_EQ(-1, DMLinuxUtil_CheckProcessCmdline(self.c_str()));
}

TEST_F(SingleInstance, CheckProcessCmdline_DifferentPathForSameProgram_NotMatched) {
    std::string program = CopyOfSleep(m_dir.Path(), "NorrimVelstraSvc");
    Sleeper absolute(program, program);
    Sleeper relative(program, "./NorrimVelstraSvc");
    ASSERT_GT(relative.Pid(), 0);

    EXPECT_EQ(1, DMLinuxUtil_CheckProcessCmdline(program.c_str()));
}

// A fake /proc entry: its command line and a status file with the given real user id.
void WriteFakeProcess(const std::string& root, const std::string& id, const std::string& cmdline,
                      long uid) {
    WriteFile(root + "/" + id + "/cmdline", cmdline);
    WriteFile(root + "/" + id + "/status", "Name:\tx\nUmask:\t0022\nUid:\t" + std::to_string(uid) +
                                               "\t" + std::to_string(uid) +
                                               "\t0\t0\nGid:\t0\t0\t0\t0\n");
}

TEST_F(SingleInstance, CheckProcessCmdline_FakeProc_OrderKernelThreadsAndOtherUsers) {
    const std::string& root = m_dir.Path();
    const std::string svc = std::string("/opt/v/NorrimVelstraSvc\0-A\0", 27);
    const long me = static_cast<long>(getuid());
    WriteFile(root + "/2/cmdline", "");           // kernel thread
    WriteFakeProcess(root, "3", svc, me + 1000);  // another user's daemon
    WriteFile(root + "/4/cmdline", svc);          // status unreadable: not known to be ours
    WriteFakeProcess(root, "5", svc, me);         // the other instance, listed first
    WriteFakeProcess(root, "9", svc, me);         // the caller
    WriteFakeProcess(root, "11", "/usr/bin/bash", me);
    WriteFile(root + "/0/cmdline", svc);    // not a process number
    WriteFile(root + "/net/cmdline", svc);  // named entry
    ProcRootGuard guard(root);
    LogCapture cap;

    EXPECT_EQ(-1, DMLinuxUtil_CheckProcessCmdline("/opt/v/NorrimVelstraSvc"));
    EXPECT_FALSE(cap.Contains("[NOT] main, checkSameProcess() check OK."));

    // The same scan naming every user's instance: exact program path, uid -1 when unreadable.
    WriteFakeProcess(root, "13", std::string("/opt/v/NorrimVelstraSvcX\0", 25), me);
    std::vector<DMProcessInfo> found;
    ASSERT_TRUE(DMLinuxUtil_FindProcesses("/opt/v/NorrimVelstraSvc", found));
    std::map<int, long> uids;
    for (const DMProcessInfo& p : found) {
        EXPECT_EQ("/opt/v/NorrimVelstraSvc", p.program);
        uids[p.nPid] = p.nRealUid;
    }
    EXPECT_EQ((std::map<int, long>{{3, me + 1000}, {4, -1}, {5, me}, {9, me}}), uids);
    fs::remove_all(root + "/13");

    // Without this user's other instance, other users' daemons do not count, but every process
    // examined is still logged.
    fs::remove_all(root + "/5");
    WriteFakeProcess(root, "7", svc, me + 2000);
    g_nSameProcessCount = 1;
    cap.Clear();
    EXPECT_EQ(1, DMLinuxUtil_CheckProcessCmdline("/opt/v/NorrimVelstraSvc"));
    EXPECT_TRUE(cap.Contains("[3] /opt/v/NorrimVelstraSvc\n"));
    EXPECT_TRUE(cap.Contains("[7] /opt/v/NorrimVelstraSvc\n"));
    EXPECT_EQ(2, g_nSameProcessCount);  // the caller alone

    // Without the caller either: the kernel thread is logged but never matches, even an empty name.
    fs::remove_all(root + "/9");
    fs::remove_all(root + "/11");
    g_nSameProcessCount = 1;
    cap.Clear();
    EXPECT_EQ(1, DMLinuxUtil_CheckProcessCmdline(""));
    EXPECT_TRUE(cap.Contains("[2] \n"));
    EXPECT_EQ(1, g_nSameProcessCount);
}

TEST(ProcessUtil, ReadFirstLine_Files_FirstLineOrMinusOne) {
    TempDir dir;
    WriteFile(dir.Path() + "/f", "first line\nsecond\n");
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};

    EXPECT_EQ(-1, ReadFirstLine((dir.Path() + "/missing").c_str(), buf, sizeof(buf)));
    EXPECT_EQ('x', buf[0]);  // untouched

    EXPECT_EQ(0, ReadFirstLine((dir.Path() + "/f").c_str(), buf, sizeof(buf)));
    EXPECT_STREQ("first l", buf);  // cut to length - 1

    char big[64];
    EXPECT_EQ(0, ReadFirstLine((dir.Path() + "/f").c_str(), big, sizeof(big)));
    EXPECT_STREQ("first line\n", big);
}
