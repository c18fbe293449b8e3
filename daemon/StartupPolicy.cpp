// The daemon's start-up policy: the single-instance rule, restarting itself, leaving its caller.
#include "daemon/StartupPolicy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "nv_config.h"
#include "support/DMLog.h"
#include "support/Owners.h"
#include "support/ProcessUtil.h"

extern "C" {

int g_nSameProcessCount = 1;

int DMLinuxUtil_CheckProcessCmdline(const char* name) {
    if (name == nullptr)
        name = "";
    const size_t nameLen = std::strlen(name);
    bool bSecond = false;
    const bool bScanned = DMLinuxUtil_ForEachProcess([&](int id, const std::string& dir) {
        std::string path = dir + "/cmdline";
        // The arguments are separated by zero bytes, so the text read is the program path as started.
        char cmdline[256];
        if (ReadFirstLine(path.c_str(), cmdline, sizeof(cmdline)) != 0)
            return true;
        DMlogprint("[%d] %s\n", id, cmdline);
        // Kernel threads and ended processes have an empty command line: they are never an instance.
        if (cmdline[0] == '\0')
            return true;
        // Only the caller's own processes count: another user's daemon serves that user's browser
        // (and refuses this user's), so it must not keep this user from having one.
        if (std::strncmp(cmdline, name, nameLen) == 0 &&
            DMLinuxUtil_ProcessRealUid(id) == static_cast<long>(getuid())) {
            if (g_nSameProcessCount > 1) {
                bSecond = true;
                return false;
            }
            ++g_nSameProcessCount;
        }
        return true;
    });
    if (!bScanned || bSecond)
        return -1;
    DMlogprint("[NOT] main, checkSameProcess() check OK.");
    return 1;
}

int DMLinuxUtil_StartSelf() {
    DMLinuxUtil_SystemCallBounded("DMLinuxUtil_StartSelf",
                                  DMLinuxUtil_ShellWord(NV_INSTALL_DIR "/" NV_PROGRAM_NAME) + " -S",
                                  259);
    return 0;
}

}  // extern "C"

int DMLinuxUtil_DetachFromCaller(bool keepStderr) {
    // Fails only for a process group leader, which a freshly forked child never is.
    (void)setsid();
    CUniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull.Valid())
        return -1;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fd == STDERR_FILENO && keepStderr)
            continue;
        // dup2 clears close-on-exec on the copy, so shell commands run later still have streams.
        if (dup2(devNull.Get(), fd) < 0)
            return -1;
    }
    return 0;
}
