// Switch scanning: result codes, scan order, -H consuming its argument, suffixes after the
// switch letter, and the outputs of -N, -H and -V.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "ShellRecorder.h"
#include "daemon/CommandLine.h"
#include "support/LinuxUtil.h"
#include "support/ProcessUtil.h"

namespace {

// An argument vector of exactly the given elements, with no terminating null after them, so that
// reading beyond argc is caught by the sanitizer build.
class ArgVector {
public:
    ArgVector(std::initializer_list<const char*> args) : m_count(static_cast<int>(args.size())) {
        for (const char* a : args)
            m_storage.emplace_back(a);
        m_argv.reset(new char*[m_storage.size()]);
        for (size_t i = 0; i < m_storage.size(); ++i)
            m_argv[i] = m_storage[i].data();
    }
    int argc() const { return m_count; }
    char** argv() { return m_argv.get(); }

private:
    int m_count;
    std::vector<std::string> m_storage;
    std::unique_ptr<char*[]> m_argv;
};

struct ParseResult {
    int code;
    std::string out;
    std::string err;
};

ParseResult Parse(ArgVector args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int code = ParseCommandLine(args.argc(), args.argv());
    ParseResult r{code, testing::internal::GetCapturedStdout(),
                  testing::internal::GetCapturedStderr()};
    return r;
}

// The home directory points at an empty temporary directory and every shell command is recorded.
// -I is not scanned here: its installation initialises GTK, which ends a process without a display.
class CommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        g_bCheckSameProcess = 1;
        char dirTemplate[] = "/tmp/nv_cmdline_home_XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        m_home = dirTemplate;
        DMLinuxUtil_SetUserHOMEDir(m_home.c_str());
    }
    void TearDown() override {
        g_bCheckSameProcess = 1;
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }

    std::string m_home;
    nvtest::ShellRecorder m_runner;  // installed for the fixture's lifetime
};

}  // namespace

TEST_F(CommandLineTest, ParseCommandLine_NoArguments_RunsDaemon) {
    EXPECT_EQ(Parse({"prog"}).code, 0);
    EXPECT_EQ(ParseCommandLine(0, nullptr), 0);
    EXPECT_EQ(g_bCheckSameProcess, 1);
}

TEST_F(CommandLineTest, ParseCommandLine_EachSwitch_GivesItsResult) {
    EXPECT_EQ(Parse({"prog", "-D"}).code, 2);
    EXPECT_EQ(Parse({"prog", "-N"}).code, 3);
    EXPECT_EQ(Parse({"prog", "-A"}).code, 0);
    EXPECT_EQ(g_bCheckSameProcess, 1) << "only -S skips the single-instance check";
    EXPECT_EQ(Parse({"prog", "-V"}).code, 0);
    EXPECT_EQ(g_bCheckSameProcess, 1);
    EXPECT_EQ(Parse({"prog", "-S"}).code, 0);
    EXPECT_EQ(g_bCheckSameProcess, 0);
}

TEST_F(CommandLineTest, ParseCommandLine_VersionSwitch_PrintsExactBanner) {
    ParseResult r = Parse({"prog", "-V"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Norrim Velstra version 1.0.1.1013,(1.0.1.1) (Dec 15 2020 14:04:06)\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CommandLineTest, ParseCommandLine_TextAfterSwitchLetter_IsIgnored) {
    EXPECT_EQ(Parse({"prog", "-Sx"}).code, 0);
    EXPECT_EQ(g_bCheckSameProcess, 0);
    ParseResult r = Parse({"prog", "-Nothing"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, m_home);
    EXPECT_EQ(Parse({"prog", "-Delete"}).code, 2);
}

TEST_F(CommandLineTest, ParseCommandLine_FirstEndingSwitch_WinsOverLaterOnes) {
    EXPECT_EQ(Parse({"prog", "-A", "-D"}).code, 0);
    EXPECT_TRUE(m_runner.Commands().empty()) << "-D after -A removes no certificate";
    EXPECT_EQ(Parse({"prog", "-D", "-A"}).code, 2);
    ASSERT_FALSE(m_runner.Commands().empty()) << "-D first removes the certificate";
    EXPECT_NE(m_runner.Commands().front().find("certutil"), std::string::npos)
        << m_runner.Commands().front();
    ParseResult r = Parse({"prog", "-V", "-N"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Norrim Velstra version 1.0.1.1013,(1.0.1.1) (Dec 15 2020 14:04:06)\n");
}

TEST_F(CommandLineTest, ParseCommandLine_NothingEndsScan_Returns100) {
    for (const char* arg : {"foo", "-X", "-", "--", "", "-h", "-s"}) {
        ParseResult r = Parse({"prog", arg});
        EXPECT_EQ(r.code, 100) << "argument '" << arg << "'";
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_EQ(r.err, "") << arg;
    }
    EXPECT_EQ(Parse({"prog", "foo", "bar", "-Q"}).code, 100);
    EXPECT_EQ(g_bCheckSameProcess, 1);
}

TEST_F(CommandLineTest, ParseCommandLine_ProgramPathElement_IsScannedToo) {
    // Element 0 takes part in the scan like every other element.
    ParseResult r = Parse({"-N", "foo"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, m_home);
}

TEST_F(CommandLineTest, ParseCommandLine_HomeBeforePrint_PrintsNewHome) {
    ParseResult r = Parse({"prog", "-H", "/x", "-N"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "/x");
    EXPECT_EQ(r.err, "USER HOME = /x\n");
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), "/x");
}

TEST_F(CommandLineTest, ParseCommandLine_HomeAfterPrint_HasNoEffect) {
    ParseResult r = Parse({"prog", "-N", "-H", "/x"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, m_home);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(DMLinuxUtil_GetUserHOMEDir(), m_home);
}

TEST_F(CommandLineTest, ParseCommandLine_HomeAlone_SetsHomeAndReturns100) {
    ParseResult r = Parse({"prog", "-H", "/tmp/h"});
    EXPECT_EQ(r.code, 100);
    EXPECT_EQ(r.err, "USER HOME = /tmp/h\n");
    EXPECT_EQ(r.out, "");
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), "/tmp/h");

    ParseResult run = Parse({"prog", "-H", "/tmp/h2", "-A"});
    EXPECT_EQ(run.code, 0);
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), "/tmp/h2");
}

TEST_F(CommandLineTest, ParseCommandLine_HomeConsumesNextElement_EvenASwitch) {
    ParseResult r = Parse({"prog", "-H", "-N"});
    EXPECT_EQ(r.code, 100) << "-N is the directory here, not a switch";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "USER HOME = -N\n");
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), "-N");
}

TEST_F(CommandLineTest, ParseCommandLine_HomeAsLastElement_KeepsHomeAndReadsNothingBeyond) {
    ParseResult r = Parse({"prog", "-H"});
    EXPECT_EQ(r.code, 100);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(DMLinuxUtil_GetUserHOMEDir(), m_home);

    ParseResult afterSwitch = Parse({"prog", "-Q", "-H"});
    EXPECT_EQ(afterSwitch.code, 100);
    EXPECT_EQ(DMLinuxUtil_GetUserHOMEDir(), m_home);
}

TEST_F(CommandLineTest, ParseCommandLine_HomeTooLong_IsRefusedAndPreviousShown) {
    std::string longest(259, 'a');
    longest[0] = '/';
    std::string tooLong(260, 'b');
    tooLong[0] = '/';

    ParseResult fits = Parse({"prog", "-H", longest.c_str()});
    EXPECT_EQ(fits.err, "USER HOME = " + longest + "\n");
    EXPECT_EQ(std::string(DMLinuxUtil_GetUserHOMEDir()), longest);

    ParseResult refused = Parse({"prog", "-H", tooLong.c_str(), "-N"});
    EXPECT_EQ(refused.code, 3);
    EXPECT_EQ(refused.err, "USER HOME = " + longest + "\n");
    EXPECT_EQ(refused.out, longest);
}
