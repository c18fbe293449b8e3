// The XDG autostart entry that makes the desktop session start the daemon with -A at login.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "desktop/Desktop.h"
#include "nv_config.h"
#include "support/DMLog.h"
#include "support/LinuxUtil.h"
#include "support/Owners.h"
#include "support/ProcessUtil.h"

namespace {

constexpr const char* kEntryFormat =
    "[Desktop Entry]\nType=Application\nExec=%s/%s -A\nHidden=false\nNoDisplay=true\n"
    "X-GNOME-Autostart-enabled=true\nName=%s\nComment=Norrim Velstra daemon handler\n";

bool HasAutostartDirectory(DIR* dir, const char* configDir) {
    bool present = false;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::strcmp(entry->d_name, "autostart") != 0)
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            std::string path = std::string(configDir) + "/" + entry->d_name;
            struct stat st {};
            isDir = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir)
            present = true;
    }
    return present;
}

// Runs in the writer child. The entry of an earlier installation is replaced, never appended to.
// When the directory was only just asked for, the background mkdir may still be running on a busy
// machine: the writer waits for the commands started before it instead of leaving the entry out.
void WriteEntry(bool directoryRequested) {
    char path[260];
    int len = std::snprintf(path, sizeof(path), "%s/.config/autostart/NorrimVelstra.desktop",
                            DMLinuxUtil_GetUserHOMEDir());
    if (len < 0 || static_cast<size_t>(len) >= sizeof(path))
        return;  // never write to a cut path
    if (directoryRequested)
        DMLinuxUtil_WaitForEarlierCommands();
    unlink(path);
    FilePtr file(std::fopen(path, "wt"));
    if (!file)
        return;
    std::fprintf(file.get(), kEntryFormat, NV_INSTALL_DIR, NV_PROGRAM_NAME, NV_PROGRAM_NAME);
}

}  // namespace

extern "C" int DMLinuxUtil_Regist_autostart() {
    char configDir[260];
    int len = std::snprintf(configDir, sizeof(configDir), "%s/%s", DMLinuxUtil_GetUserHOMEDir(),
                            ".config");
    if (len < 0 || static_cast<size_t>(len) >= sizeof(configDir)) {
        DMlogprint("DMLinuxUtil_Regist_autostart: home directory too long, no entry written\n");
        return 0;
    }
    // A new account's first login runs the installation before anything else of the session may
    // have made ~/.config. Without the entry every later login would run the installation again
    // (and start one more daemon each time), so the directory is made as the XDG rules ask (mode
    // 0700). Any other failure to open it still leaves the entry out.
    if (mkdir(configDir, 0700) == 0)
        DMlogprint("DMLinuxUtil_Regist_autostart: made %s\n", configDir);
    bool present = false;
    {
        DirPtr dir(opendir(configDir));
        if (!dir) {
            DMlogprint("err: NO_DIR\n");
            return 0;
        }
        present = HasAutostartDirectory(dir.get(), configDir);
    }
    if (!present) {
        std::string command =
            "mkdir " + DMLinuxUtil_ShellWord((std::string(configDir) + "/autostart").c_str());
        if (command.size() < 1024) {
            DMLinuxUtil_SystemCall(command.c_str());
        } else {
            DMlogprint("DMLinuxUtil_Regist_autostart: command too long (%zu characters), not run\n",
                       command.size());
        }
        DMLinuxUtil_CommandPause(100000);
    }
    // The entry is written by a child so that the installation goes on at once.
    pid_t pid = fork();
    if (pid == 0) {
        WriteEntry(!present);
        _exit(0);  // the child must not run the parent's exit handlers
    }
    if (pid > 0)
        DMLinuxUtil_TrackBackgroundChild(pid);
    return 0;
}
