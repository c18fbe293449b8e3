// nv-doctor: tells a user or a help desk why a page cannot reach the daemon.
//   nv-doctor [-H dir] [--json]
// Exit status: 0 every check good (warnings allowed), 1 a check is bad, 2 usage error.
//
// It runs as the user, needs no root and changes nothing. The daemon writes no log by design and
// a page sees every failure as "not found", so this is where the causes become visible.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "doctor/Doctor.h"
#include "nv_config.h"
#include "support/LinuxUtil.h"

namespace {

constexpr int kExitGood = 0;
constexpr int kExitBad = 1;
constexpr int kExitUsage = 2;

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: %s [-H dir] [--json]\n"
                 "Checks why web pages may not reach the Norrim Velstra daemon of this user.\n"
                 "  -H dir  examine the home directory dir instead of this user's\n"
                 "  --json  print one JSON document instead of the report\n"
                 "Exit status: 0 good (warnings allowed), 1 something is bad, 2 usage error.\n",
                 NV_DOCTOR_NAME);
}

int Run(int argc, char** argv) {
    bool json = false;
    DMLinuxUtil_Initialize();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "-H") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            const std::string dir = argv[++i];
            // The same buffer and the same limit as the daemon's own -H.
            if (dir != DMLinuxUtil_SetUserHOMEDir(dir.c_str())) {
                std::fprintf(stderr, "%s: home directory too long: %s\n", NV_DOCTOR_NAME,
                             dir.c_str());
                return kExitUsage;
            }
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return kExitGood;
        } else {
            Usage(stderr);
            return kExitUsage;
        }
    }

    DoctorContext ctx;
    ctx.home = DMLinuxUtil_GetUserHOMEDir();
    ctx.uid = getuid();
    ctx.program = std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME;
    ctx.rootCertFile = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;
    ctx.credentialFile = std::string(NV_INSTALL_DIR) + "/" + NV_CREDENTIAL_FILE_NAME;
    ctx.modulePath = NV_MODULE_PATH;

    CDoctorReport report;
    SelectCredentialFiles(ctx);
    CheckDaemonAndPorts(ctx, report);
    CheckDaemonTls(ctx, report);
    CheckServedCredentials(ctx, report);
    CheckRootCa(ctx.rootCertFile, report);
    CheckCredentialFile(ctx.credentialFile, ctx.rootCertFile, report);
    CheckTrust(ctx, report);
    CheckModule(ctx, report);
    CheckAutostart(ctx, report);
    CheckBrowsers(ctx, report);

    const std::string out = json ? report.Json(ctx.home)
                                 : report.Text("Norrim Velstra installation, user id " +
                                               std::to_string(ctx.uid) + ", home " + ctx.home);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return report.AnyBad() ? kExitBad : kExitGood;
}

}  // namespace

int main(int argc, char** argv) {
    // A check that meets something it cannot handle (no memory) ends the run as a failure, with
    // a line saying so, never with an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: stopped: %s\n", NV_DOCTOR_NAME, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: stopped by an unexpected error\n", NV_DOCTOR_NAME);
    }
    return kExitBad;
}
