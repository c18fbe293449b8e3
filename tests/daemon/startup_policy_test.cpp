// The daemon's start-up policy: the single-instance rule over real and fake /proc trees, and the
// command that restarts the installed program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ProcessFixtures.h"
#include "ShellRecorder.h"
#include "TestFiles.h"
#include "daemon/StartupPolicy.h"
#include "nv_config.h"

namespace fs = std::filesystem;
using nvtest::CopyOfSleep;
using nvtest::ProcRootGuard;
using nvtest::ReadCmdline;
using nvtest::Sleeper;
using nvtest::WriteFakeProcess;
using nvtest::WriteFileMakingDirs;

TEST(StartupPolicy, StartSelf_Recorder_InstalledProgramWithS) {
    nvtest::ShellRecorder rec;
    EXPECT_EQ(0, DMLinuxUtil_StartSelf());
    EXPECT_EQ(std::vector<std::string>{std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME + " -S"},
              rec.Commands());
}

TEST(StartupPolicy, CheckProcessCmdline_NoProcDirectory_ReturnsMinusOne) {
    ProcRootGuard guard("/nonexistent/proc");
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

TEST_F(SingleInstance, CheckProcessCmdline_FakeProc_OrderKernelThreadsAndOtherUsers) {
    const std::string& root = m_dir.Path();
    const std::string svc = std::string("/opt/v/NorrimVelstraSvc\0-A\0", 27);
    const long me = static_cast<long>(getuid());
    WriteFileMakingDirs(root + "/2/cmdline", "");   // kernel thread
    WriteFakeProcess(root, "3", svc, me + 1000);    // another user's daemon
    WriteFileMakingDirs(root + "/4/cmdline", svc);  // status unreadable: not known to be ours
    WriteFakeProcess(root, "5", svc, me);           // the other instance, listed first
    WriteFakeProcess(root, "9", svc, me);           // the caller
    WriteFakeProcess(root, "11", "/usr/bin/bash", me);
    WriteFileMakingDirs(root + "/0/cmdline", svc);    // not a process number
    WriteFileMakingDirs(root + "/net/cmdline", svc);  // named entry
    ProcRootGuard guard(root);
    LogCapture cap;

    EXPECT_EQ(-1, DMLinuxUtil_CheckProcessCmdline("/opt/v/NorrimVelstraSvc"));
    EXPECT_FALSE(cap.Contains("[NOT] main, checkSameProcess() check OK."));

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
