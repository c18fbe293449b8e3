// Signal installation and the two ways a handled signal ends the daemon: fault signals at once
// in the handler, stop signals through the main thread with the log lines in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "LogCapture.h"
#include "daemon/Signals.h"
#include "server/DMServer.h"
#include "support/DMLog.h"

namespace {

constexpr int kTableSize = 27;

// Saves the dispositions of the table's signals and puts them back afterwards, so that the
// test process keeps its own behaviour.
class SignalTableGuard {
public:
    SignalTableGuard() {
        for (int i = 0; i < kTableSize; ++i)
            sigaction(kSignalTable[i], nullptr, &m_saved[i]);
    }
    ~SignalTableGuard() {
        for (int i = 0; i < kTableSize; ++i) {
            if (kSignalTable[i] != SIGKILL)
                sigaction(kSignalTable[i], &m_saved[i], nullptr);
        }
        CDMServer::SetStopRoutine(nullptr);
    }
    SignalTableGuard(const SignalTableGuard&) = delete;
    SignalTableGuard& operator=(const SignalTableGuard&) = delete;

private:
    struct sigaction m_saved[kTableSize];
};

void (*HandlerOf(int signo))(int) {
    struct sigaction current {};
    sigaction(signo, nullptr, &current);
    return current.sa_handler;
}

// Death-test children write their log lines to standard error, where the test can match them.
void LogToStderr(const char* line, void*) {
    std::string record = std::string("LOG<") + line + ">";
    ssize_t written = write(STDERR_FILENO, record.data(), record.size());
    (void)written;
}

}  // namespace

TEST(SignalTableTest, SignalTable_Contents_AreAlphabeticalWithSigkillAtIndex8) {
    const int expected[kTableSize] = {
        SIGABRT, SIGALRM, SIGBUS,  SIGFPE,  SIGHUP,  SIGILL,  SIGINT,    SIGIO,     SIGKILL,
        SIGPIPE, SIGPOLL, SIGPROF, SIGPWR,  SIGQUIT, SIGSEGV, SIGSTKFLT, SIGSYS,    SIGTERM,
        SIGTRAP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,  SIGUSR1, SIGUSR2,   SIGVTALRM, SIGXCPU};
    for (int i = 0; i < kTableSize; ++i)
        EXPECT_EQ(kSignalTable[i], expected[i]) << "index " << i;
}

TEST(SignalTableTest, InstallSignalHandlers_Sigkill_StopsThereAndLogsIt) {
    SignalTableGuard guard;
    for (int i = 0; i < kTableSize; ++i) {
        if (kSignalTable[i] != SIGKILL)
            signal(kSignalTable[i], SIG_DFL);
    }
    LogCapture cap;

    EXPECT_EQ(InstallSignalHandlers(), -1);

    ASSERT_EQ(cap.Lines().size(), 1u);
    EXPECT_EQ(cap.Lines()[0], "can not cactch 9, (index : 8)\n");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(HandlerOf(kSignalTable[i]), &sig_handler) << "index " << i;
    // Everything after SIGKILL keeps its default action, SIGTERM and SIGPIPE among them.
    // (SIGPOLL at index 10 is SIGIO under another name, so it has the handler from index 7.)
    for (int i = 9; i < kTableSize; ++i) {
        if (kSignalTable[i] == SIGIO)
            continue;
        EXPECT_EQ(HandlerOf(kSignalTable[i]), SIG_DFL) << "index " << i;
    }
    EXPECT_EQ(HandlerOf(SIGTERM), SIG_DFL);
    EXPECT_EQ(HandlerOf(SIGPIPE), SIG_DFL);
}

TEST(SignalDeathTest, SigHandler_FaultSignal_EndsAtOnceWith255) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signo : {SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
        EXPECT_EXIT(
            {
                DMLogSetSink(&LogToStderr, nullptr);
                InstallSignalHandlers();
                raise(signo);
                // Never reached: the handler ends the process.
                DMlogprint("resumed");
                _exit(0);
            },
            testing::ExitedWithCode(255), "^LOG<can not cactch 9, \\(index : 8\\)\n>$")
            << "signal " << signo;
    }
}

TEST(SignalDeathTest, SigHandler_StopSignal_IsHandedToWaitingThreadWhichLogsAndEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signo : {SIGINT, SIGHUP}) {
        std::string pattern =
            "LOG<=================================\n>"
            "LOG<=================================\n>"
            "LOG<I GOT SIGNAL!!!!! PID : [0-9]+ \\(" +
            std::to_string(signo) +
            "\\)\n>"
            "LOG<\n\\[APP_EXIT\\]\\[vexHTTPServer_Linux:sig_handler:187\\] -1\n>$";
        EXPECT_EXIT(
            {
                InstallSignalHandlers();
                raise(signo);
                // The handler only handed the stop over; the log is still empty here.
                DMLogSetSink(&LogToStderr, nullptr);
                DMlogprint("handed over");
                CDMServer::RunPendingStopRequest();
                _exit(0);
            },
            testing::ExitedWithCode(255), "^LOG<handed over>" + pattern)
            << "signal " << signo;
    }
}

TEST(SignalTest, RunPendingStopRequest_NothingPosted_ReturnsFalse) {
    EXPECT_FALSE(CDMServer::RunPendingStopRequest());
}
