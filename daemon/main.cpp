// NorrimVelstraSvc: reads the switches, then forks the serving daemon and lets the started
// process end at once. The daemon serves until a handled signal ends it with status 255.
//
// Built twice: NorrimVelstraSvc, which writes no log anywhere, and (for the end-to-end tests)
// NorrimVelstraSvc-logtest, which writes every log line to standard error.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include "bridge/VelstraWrapper.h"
#include "daemon/CommandLine.h"
#include "daemon/Signals.h"
#include "daemon/StartupPolicy.h"
#include "nv_config.h"
#include "server/DMServer.h"
#include "support/DMLog.h"
#include "support/LinuxUtil.h"

#ifdef NV_SANITIZER_BUILD
#include "desktop/GtkLeakSuppressions.h"
// -I initialises GTK, whose process-lifetime allocations are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
    return GtkLeakSuppressions();
}
#endif

#ifdef NV_LOGTEST_BINARY
#include <string>

namespace {
// One record per log call: "NVLOG " and the expanded line with backslash and newline escaped, so
// that a reader can restore each line exactly, trailing newlines included. One write per record
// keeps records whole; the printer's lock orders them.
void WriteLogLineToStderr(const char* line, void* /*ctx*/) {
    std::string record = "NVLOG ";
    for (const char* p = line; *p != '\0'; ++p) {
        if (*p == '\\') {
            record += "\\\\";
        } else if (*p == '\n') {
            record += "\\n";
        } else {
            record += *p;
        }
    }
    record += '\n';
    ssize_t written = write(STDERR_FILENO, record.data(), record.size());
    (void)written;
}
}  // namespace
#endif

int main(int argc, char* argv[]) {
    // Request and reply texts can be megabytes long, and each worker thread allocates them in its
    // own malloc arena. With glibc's adaptive threshold such blocks come from the arenas, which keep
    // freed memory: after a few dozen large requests the daemon would hold hundreds of MiB for good
    // (measured: 8 MiB requests raised RSS by about 57 MiB each, up to 820 MiB). Blocks from 1 MiB up
    // are mapped on their own instead and go back to the system when freed.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#ifdef NV_LOGTEST_BINARY
    DMLogSetSink(&WriteLogLineToStderr, nullptr);
#endif
    // Before the switches, so that -H overrides it.
    DMLinuxUtil_Initialize();

    if (ParseCommandLine(argc, argv) > 0)
        return 0;

    // Single-instance rule, applied before the fork: another process started with the same program
    // path (or an unreadable /proc) ends this start quietly.
    if (g_bCheckSameProcess != 0 && DMLinuxUtil_CheckProcessCmdline(argv[0]) <= 0)
        return 0;

    // The banner of -V (and any other buffered output) is written once, by the parent, not
    // again by the child when it ends.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return 255;
    if (pid > 0)
        return 0;

        // The daemon leaves its caller's session and streams. Builds that write their log lines to
        // standard error keep that stream: it is what they are read through.
#if defined(NV_LOGTEST_BINARY) || defined(NV_LOG_TO_STDERR)
    DMLinuxUtil_DetachFromCaller(/*keepStderr=*/true);
#else
    DMLinuxUtil_DetachFromCaller(/*keepStderr=*/false);
#endif

    // A failed chdir leaves it in the directory it was started from.
    int chdirResult = chdir(DMLinuxUtil_GetUserHOMEDir());
    (void)chdirResult;
    CVelstraWrapper::GetInst()->Init();
    InstallSignalHandlers();
    DMlogprint("[DAEMON] Start Demon Local Server");
    unsigned short port = 0;
    CDMServer::StartDMServer(portlist, kNvPortCount, port);
    // A signal that came while the start was failing ends the daemon as it would have during
    // serving.
    CDMServer::RunPendingStopRequest();
    DMlogprint("[DAEMON] End Demon Local Server");
    CVelstraWrapper::GetInst()->UnInit();
    return 0;
}
