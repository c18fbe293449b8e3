// Switch scanning of the entry point.
#include "daemon/CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "credentials/UserCredentials.h"
#include "daemon/StartupPolicy.h"
#include "desktop/Desktop.h"
#include "nv_config.h"
#include "support/DMLog.h"
#include "support/LinuxUtil.h"

unsigned short portlist[kNvPortCount] = {4441, 4442, 4443, 4444, 4445};
int g_bCheckSameProcess = 1;

const char* const kVelstraProductVersion = NV_PRODUCT_VERSION;
const char* const kLocalServerVersion = NV_LOCAL_SERVER_VERSION;
const char* const kBuildDate = "Dec 15 2020";
const char* const kBuildTime = "14:04:06";

namespace {

// The user's own root CA and server certificate, issued when missing, unusable or near their end,
// before the registration so that the databases receive the user's own root. A failure leaves the
// user on the machine's credentials, as before.
void InstallUserCredentials(bool homeGiven) {
    std::string what;
    NV_EnsureUserCredentials(&what);
    DMlogprint("[CERT] user credentials %s\n", what.c_str());
    // The daemon started at the end of the installation takes its home directory from the password
    // database, not from -H: it is told the data directory used here instead, or it would look for
    // the user's credentials in another home.
    const std::string dir = NV_UserCredentialDir();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (homeGiven && !dir.empty() && (xdg == nullptr || xdg[0] != '/'))
        setenv("XDG_DATA_HOME", dir.substr(0, dir.rfind('/')).c_str(), /*overwrite=*/1);
}

}  // namespace

int ParseCommandLine(int argc, char* argv[]) {
    if (argc <= 1 || argv == nullptr)
        return 0;

    bool homeGiven = false;

    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || arg[0] != '-')
            continue;
        switch (arg[1]) {
            case 'I':
                // Installation for the desktop user: the user's own credentials, their root CA into
                // the NSS databases (asking to close a running Firefox), the autostart entry, then
                // the daemon in the background.
                DMLinuxUtil_InitLibGTK(&argc, &argv);
                InstallUserCredentials(homeGiven);
                Regist_RootCert(/*askCloseFirefox=*/1);
                DMLinuxUtil_Regist_autostart();
                DMLinuxUtil_StartSelf();
                return 1;
            case 'D':
                Delete_RootCert();
                return 2;
            case 'N':
                std::fputs(DMLinuxUtil_GetUserHOMEDir(), stdout);
                return 3;
            case 'A':
                // Started by the desktop session's autostart entry; nothing to do but serve.
                return 0;
            case 'H':
                // The directory is the next element. With nothing after -H there is nothing to
                // take: the switch is ignored and the home directory stays as it was.
                if (i + 1 >= argc || argv[i + 1] == nullptr)
                    break;
                ++i;
                // A directory too long for the buffer is refused there and the previous value
                // stays; the line shows what is stored either way.
                DMLinuxUtil_SetUserHOMEDir(argv[i]);
                homeGiven = true;
                std::fprintf(stderr, "USER HOME = %s\n", DMLinuxUtil_GetUserHOMEDir());
                break;
            case 'S':
                // Used when the program restarts itself: the old instance may still be listed.
                g_bCheckSameProcess = 0;
                return 0;
            case 'V':
                std::printf("Norrim Velstra version %s,(%s) (%s %s)\n", kVelstraProductVersion,
                            kLocalServerVersion, kBuildDate, kBuildTime);
                return 0;
            default:
                break;
        }
    }
    return 100;
}
