// Home directory functions.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "LogCapture.h"
#include "support/LinuxUtil.h"

TEST(HomeDir, Initialize_TakesPasswordDatabaseNotHomeVariable) {
    setenv("HOME", "/nonexistent-home-variable", 1);
    EXPECT_EQ(DMLinuxUtil_Initialize(), 0);
    struct passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), pw->pw_dir);
}

TEST(HomeDir, Set_ThenGet_YieldsNewText) {
    DMLinuxUtil_Initialize();
    EXPECT_STREQ(DMLinuxUtil_SetUserHOMEDir("/tmp/h"), "/tmp/h");
    EXPECT_STREQ(DMLinuxUtil_GetUserHOMEDir(), "/tmp/h");
}

TEST(HomeDir, Set_TooLongForBuffer_IsRefusedAndPreviousValueKept) {
    DMLinuxUtil_SetUserHOMEDir("/tmp/keep");
    std::string exactFit(259, 'a');
    EXPECT_STREQ(DMLinuxUtil_SetUserHOMEDir(exactFit.c_str()), exactFit.c_str());
    DMLinuxUtil_SetUserHOMEDir("/tmp/keep");
    LogCapture capture;
    std::string tooLong(260, 'b');
    EXPECT_STREQ(DMLinuxUtil_SetUserHOMEDir(tooLong.c_str()), "/tmp/keep");
    EXPECT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(g_szUserHomeDir[259], 0);
}
