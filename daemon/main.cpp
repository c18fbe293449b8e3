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
#include "server/DMServer.h"
#include "support/DMLog.h"
#include "support/LinuxUtil.h"
#include "support/ProcessUtil.h"

#ifdef NV_SANITIZER_BUILD
// -I initialises GTK, and GTK, GLib, fontconfig and D-Bus keep allocations for the life of the
// process; the leak checker would turn them into a failing exit status. Only stacks through those
// libraries are suppressed, so the program's own leaks are still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\n"
           "leak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\nleak:libX11.so\nleak:libharfbuzz.so\n"
           "leak:libatk\nleak:libgdk_pixbuf\nleak:libdbus\n";
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

    if (ParseCommandLine(argc, argv) > 0) return 0;

    // Single-instance rule, applied before the fork: another process started with the same program
    // path (or an unreadable /proc) ends this start quietly.
    if (g_bCheckSameProcess != 0 && DMLinuxUtil_CheckProcessCmdline(argv[0]) <= 0) return 0;

    // The banner of -V (and any other buffered output) is written once, by the parent, not
    // again by the child when it ends.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return 255;
    if (pid > 0) return 0;

    // The daemon. A failed chdir leaves it in the directory it was started from.
    int chdirResult = chdir(DMLinuxUtil_GetUserHOMEDir());
    (void)chdirResult;
    CVelstraWrapper::GetInst()->Init();
    InstallSignalHandlers();
    DMlogprint("[DAEMON] Start Demon Local Server");
    unsigned short port = 0;
    CDMServer::StartDMServer(portlist, 5, port);
    // A signal that came while the start was failing ends the daemon as it would have during
    // serving.
    CDMServer::RunPendingStopRequest();
    DMlogprint("[DAEMON] End Demon Local Server");
    CVelstraWrapper::GetInst()->UnInit();
    return 0;
}
