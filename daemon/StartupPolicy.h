// The daemon's own start-up policy: the single-instance rule applied before the fork, the serving
// child leaving its caller, and the program starting itself again after an installation. The
// names keep the platform prefix the rest of the process control has; the /proc scans and shell
// commands they are built from are support's (support/ProcessUtil.h). Main thread only.
#pragma once

extern "C" {
// Matching processes tolerated so far by DMLinuxUtil_CheckProcessCmdline; starts at 1, never reset.
extern int g_nSameProcessCount;

// The single-instance rule: 1 when no second process started with the program path name runs,
// -1 when one does or /proc cannot be opened. The caller counts itself as the one allowed match.
int DMLinuxUtil_CheckProcessCmdline(const char* name);
// Starts the installed program with -S (no single-instance check) in the background. Returns 0.
int DMLinuxUtil_StartSelf();
}

// Lets the serving child leave the process that started it: a session of its own (so that a
// timeout, a closing terminal or a signal to the caller's process group does not end it) and
// standard input and output (and standard error unless keepStderr) on /dev/null, so that a caller
// reading the start's output to its end, as `| cat` or `$(...)` do, is not held by the daemon.
// 0, or -1 when /dev/null cannot be opened (the streams are then left as they are).
int DMLinuxUtil_DetachFromCaller(bool keepStderr);
