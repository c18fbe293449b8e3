// Signal handling of the serving daemon.
//
// sig_handler is installed for the signals of the table up to the first one the system refuses
// (SIGKILL, index 8), so SIGTERM, SIGPIPE and the rest after it keep their default action.
// A handler may run on any thread, including a CivetWeb worker or one holding the log lock, so it
// does only async-signal-safe work:
//   - fault signals (SIGABRT, SIGBUS, SIGFPE, SIGILL) cannot be resumed: returning would re-run
//     the faulting instruction, so the handler ends the process at once with status 255;
//   - every other installed signal is handed to the main thread waiting in
//     CDMServer::StartDMServer, which logs, stops and deletes the server and ends the process
//     with status 255 (HandleStopSignal).
#pragma once

// The 27 signals, in installation order.
extern const int kSignalTable[27];

// Installs sig_handler for the table's signals in order and makes HandleStopSignal the server's
// stop routine. 0 when every signal got the handler; -1 at the first refusal, logged with
// "can not cactch %d, (index : %d)\n" (the rest of the table is not tried).
int InstallSignalHandlers();

// The installed handler. Async-signal-safe; returns only for stop signals, after handing them over.
void sig_handler(int signo);

// The stop on the main thread: the signal's log lines, CDMServer::StopDMServer, the exit line,
// then the process ends with status 255.
[[noreturn]] void HandleStopSignal(int signo);
