// Home directory of the user the daemon runs for.
#include "support/LinuxUtil.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>

#include "support/DMLog.h"

extern "C" {
char g_szUserHomeDir[260] = {0};

int DMLinuxUtil_Initialize() {
    std::memset(g_szUserHomeDir, 0, sizeof(g_szUserHomeDir));
    // The HOME variable is not consulted: the password database names the real user's home.
    struct passwd* pw = getpwuid(getuid());
    if (pw != nullptr && pw->pw_dir != nullptr &&
        std::strlen(pw->pw_dir) < sizeof(g_szUserHomeDir)) {
        std::strcpy(g_szUserHomeDir, pw->pw_dir);
    }
    return 0;
}

const char* DMLinuxUtil_GetUserHOMEDir() {
    return g_szUserHomeDir;
}

const char* DMLinuxUtil_SetUserHOMEDir(const char* dir) {
    if (dir == nullptr)
        return g_szUserHomeDir;
    if (std::strlen(dir) >= sizeof(g_szUserHomeDir)) {
        DMlogprint("DMLinuxUtil_SetUserHOMEDir: directory too long (%zu), kept %s\n",
                   std::strlen(dir), g_szUserHomeDir);
        return g_szUserHomeDir;
    }
    std::memmove(g_szUserHomeDir, dir, std::strlen(dir) + 1);
    return g_szUserHomeDir;
}
}
