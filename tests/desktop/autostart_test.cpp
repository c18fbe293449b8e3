// The XDG autostart entry: its exact bytes, replacement, and the missing-directory cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DesktopTestSupport.h"
#include "LogCapture.h"
#include "desktop/Desktop.h"
#include "nv_config.h"

using namespace desktoptest;

namespace {

const std::string kEntry = std::string("[Desktop Entry]\n") + "Type=Application\n" +
                           "Exec=" + NV_INSTALL_DIR + "/" + NV_PROGRAM_NAME + " -A\n" +
                           "Hidden=false\n" + "NoDisplay=true\n" +
                           "X-GNOME-Autostart-enabled=true\n" + "Name=" + NV_PROGRAM_NAME + "\n" +
                           "Comment=Norrim Velstra daemon handler\n";

std::string EntryPath(const TempHome& home) {
    return home.Path() + "/.config/autostart/NorrimVelstra.desktop";
}

}  // namespace

TEST(Autostart, DirectoryPresent_NoMkdirAndEntryReplacedByExactBytes) {
    TempHome home;
    WriteFile(
        EntryPath(home),
        "[Desktop Entry]\nExec=/something/else\nName=Old\nComment=a much longer old entry text\n");
    ShellRecorder rec;

    EXPECT_EQ(0, DMLinuxUtil_Regist_autostart());

    EXPECT_TRUE(rec.entries.empty());
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));
    EXPECT_EQ(kEntry, ReadFile(EntryPath(home)));
}

TEST(Autostart, NoConfigDirectory_MadePrivateThenEntryWritten) {
    TempHome home;
    ShellRecorder rec(/*passThrough=*/true);
    LogCapture cap;

    EXPECT_EQ(0, DMLinuxUtil_Regist_autostart());

    EXPECT_EQ((std::vector<std::string>{"DMLinuxUtil_Regist_autostart: made " + home.Path() +
                                        "/.config\n"}),
              cap.Lines());
    EXPECT_EQ(
        (std::vector<std::string>{"mkdir " + home.Path() + "/.config/autostart", "pause 100000"}),
        rec.entries);
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));
    EXPECT_EQ(fs::status(home.Path() + "/.config").permissions(), fs::perms::owner_all);
    EXPECT_EQ(kEntry, ReadFile(EntryPath(home)));
}

TEST(Autostart, ConfigIsAFile_LogsNoDirAndWritesNothing) {
    TempHome home;
    WriteFile(home.Path() + "/.config", "a file, not a directory");
    ShellRecorder rec;
    LogCapture cap;

    EXPECT_EQ(0, DMLinuxUtil_Regist_autostart());

    EXPECT_EQ((std::vector<std::string>{"err: NO_DIR\n"}), cap.Lines());
    EXPECT_TRUE(rec.entries.empty());
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));
    EXPECT_EQ("a file, not a directory", ReadFile(home.Path() + "/.config"));
}

TEST(Autostart, FileNamedAutostart_MkdirRunAndNoEntryWritten) {
    TempHome home;
    WriteFile(home.Path() + "/.config/autostart", "a file, not a directory");
    ShellRecorder rec(/*passThrough=*/true);

    DMLinuxUtil_Regist_autostart();

    EXPECT_EQ(
        (std::vector<std::string>{"mkdir " + home.Path() + "/.config/autostart", "pause 100000"}),
        rec.entries);
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));
    EXPECT_TRUE(fs::is_regular_file(home.Path() + "/.config/autostart"));
    EXPECT_EQ("a file, not a directory", ReadFile(home.Path() + "/.config/autostart"));
}

TEST(Autostart, HiddenOrFileSiblingsOnly_DirectoryMadeThenEntryWritten) {
    TempHome home;
    fs::create_directories(home.Path() + "/.config/.autostart");
    fs::create_directories(home.Path() + "/.config/autostart-old");
    ShellRecorder rec(/*passThrough=*/true);

    DMLinuxUtil_Regist_autostart();

    EXPECT_EQ(
        (std::vector<std::string>{"mkdir " + home.Path() + "/.config/autostart", "pause 100000"}),
        rec.entries);
    EXPECT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));
    EXPECT_EQ(kEntry, ReadFile(EntryPath(home)));
}

TEST(Autostart, ShellSpecialHome_MkdirQuotedAndRunLiterally) {
    TempHome home("a b;touch pwned;$(touch pwned2)");
    fs::create_directories(home.Path() + "/.config");
    ShellRecorder rec(/*passThrough=*/true);  // records, and runs each command through the shell

    DMLinuxUtil_Regist_autostart();
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(60000));

    ASSERT_FALSE(rec.entries.empty());
    EXPECT_EQ("mkdir '" + home.Path() + "/.config/autostart'", rec.entries[0]);
    EXPECT_EQ(kEntry, ReadFile(EntryPath(home)));
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists("pwned2"));
    EXPECT_FALSE(fs::exists(home.Root() + "/a b"));
}
