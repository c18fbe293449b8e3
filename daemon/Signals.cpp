// Signal table, the async-signal-safe handler and the stop it hands to the main thread.
#include "daemon/Signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "nv_config.h"
#ifdef NV_LEAK_CHECK_BUILD
#include <sanitizer/lsan_interface.h>
#endif

#include "server/DMServer.h"
#include "support/DMLog.h"

// Alphabetical by name. SIGIO and SIGPOLL are the same signal on Linux.
const int kSignalTable[27] = {
    SIGABRT, SIGALRM, SIGBUS,  SIGFPE,  SIGHUP,  SIGILL,  SIGINT,    SIGIO,     SIGKILL,
    SIGPIPE, SIGPOLL, SIGPROF, SIGPWR,  SIGQUIT, SIGSEGV, SIGSTKFLT, SIGSYS,    SIGTERM,
    SIGTRAP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,  SIGUSR1, SIGUSR2,   SIGVTALRM, SIGXCPU,
};

namespace {
constexpr int kExitAfterSignal = 255;

bool IsFaultSignal(int signo) {
    return signo == SIGABRT || signo == SIGBUS || signo == SIGFPE || signo == SIGILL;
}
}  // namespace

int InstallSignalHandlers() {
    // The stop routine is in place before any handler can post a request.
    CDMServer::SetStopRoutine(&HandleStopSignal);
    for (int i = 0; i < static_cast<int>(sizeof(kSignalTable) / sizeof(kSignalTable[0])); ++i) {
        if (signal(kSignalTable[i], sig_handler) == SIG_ERR) {
            DMlogprint("can not cactch %d, (index : %d)\n", kSignalTable[i], i);
            return -1;
        }
    }
    return 0;
}

void sig_handler(int signo) {
    if (IsFaultSignal(signo))
        _exit(kExitAfterSignal);
    CDMServer::RequestStop(signo);
}

void HandleStopSignal(int signo) {
    try {
        DMlogprint("=================================\n");
        DMlogprint("=================================\n");
        DMlogprint("I GOT SIGNAL!!!!! PID : %d (%d)\n", static_cast<int>(getpid()), signo);
        CDMServer::StopDMServer();
        DMlogprint("\n[APP_EXIT][%s:%s:%d] %d\n", "vexHTTPServer_Linux", "sig_handler", 187, -1);
        usleep(1000);
    } catch (...) {
    }
    // _exit rather than exit: the server and its task stores are gone (their clean-up threads
    // joined), but a thread the module started may still run, and static destructors (the module
    // bridge's among them) must not run under it. The standard streams are flushed by hand.
    std::fflush(nullptr);
#ifdef NV_LEAK_CHECK_BUILD
    // _exit skips LeakSanitizer's check at exit. Address-sanitizer builds run it here instead,
    // after the server and its task stores are gone, so that a leak of a whole serving run is
    // reported (the process then ends with LeakSanitizer's status rather than 255).
    __lsan_do_leak_check();
#endif
    _exit(kExitAfterSignal);
}
