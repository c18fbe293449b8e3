// Process control for the daemon and the desktop jobs: background shell commands, kill and
// restart commands, finding processes through /proc and the single-instance rule.
//
// Every shell command of the daemon goes through DMLinuxUtil_SystemCall, which hands it to the
// installed shell runner (the real one forks and runs the command with system(); tests install a
// recorder that keeps the exact command texts). All functions are called from the main thread only.
#pragma once

#include <string>
#include <vector>

extern "C" {
// Matching processes tolerated so far by DMLinuxUtil_CheckProcessCmdline; starts at 1, never reset.
extern int g_nSameProcessCount;

// Runs command through the shell in a background child process. Returns -1 when the child
// cannot be created, otherwise 0 at once, before the command has finished (or even started).
// The commands of one process run one after another, in the order given.
int DMLinuxUtil_SystemCall(const char* command);
// "kill <pid>" in the background. Returns 0.
int DMLinuxUtil_KillProcessID(int pid);
// "killall -9 <name>" in the background. Returns 0.
int DMLinuxUtil_KillProcess(const char* name);
// Starts the installed program with -S (no single-instance check) in the background. Returns 0.
int DMLinuxUtil_StartSelf();
// Id of the first process whose status name line contains pattern (1 if that id reads as 0);
// 0 when none is found or /proc cannot be opened.
int DMLinuxUtil_CheckProcess(const char* pattern);
// The single-instance rule: 1 when no second process started with the program path name runs,
// -1 when one does or /proc cannot be opened. The caller counts itself as the one allowed match.
int DMLinuxUtil_CheckProcessCmdline(const char* name);
// Reads the first line (at most length - 1 characters, newline kept) into buffer, zeroed first.
// Returns 0, or -1 when the file cannot be opened (buffer untouched).
int ReadFirstLine(const char* path, char* buffer, int length);
}

// A process found by DMLinuxUtil_FindProcesses: its id, its real user id (-1 when unreadable) and
// its program path as it was started (the first argument of its command line).
struct DMProcessInfo {
    int nPid;
    long nRealUid;
    std::string program;
};
// Every process whose program path equals program, any user's, in the order /proc lists them.
// The same scan as the single-instance rule, for callers that need to know who runs what.
// False when /proc cannot be opened.
bool DMLinuxUtil_FindProcesses(const char* program, std::vector<DMProcessInfo>& found);

// Pause between background commands, taken through the shell runner so that tests need not wait.
void DMLinuxUtil_CommandPause(unsigned int usec);

// Waits up to timeoutMs for the background processes started by this process (shell commands and
// the autostart writer) to end, collecting them. Returns how many still run. Used by tests and
// by nothing in the product, which never waits for its background commands.
int DMLinuxUtil_CollectBackgroundCommands(int timeoutMs);
// Notes a background child forked outside DMLinuxUtil_SystemCall so that it is collected too.
void DMLinuxUtil_TrackBackgroundChild(int pid);
// For a background child forked outside DMLinuxUtil_SystemCall: waits (10 s at most) until every
// command its parent started before the fork has ended.
void DMLinuxUtil_WaitForEarlierCommands();

// Shell quoting. Values taken from the environment or from files (home directory, profile paths)
// must never be interpreted by the shell. Ordinary values keep the plain command texts; anything
// holding a character the shell treats specially is put in single quotes instead.
// A value for a bare position in a command (no quotes around it in the command format).
std::string DMLinuxUtil_ShellWord(const char* value);
// A value for a position the command format puts in double quotes; the result includes the quotes.
std::string DMLinuxUtil_ShellQuoted(const char* value);

// The shell runner seam. The real runner forks and runs system() in the child, and pauses with
// usleep; tests install a recorder. The runner is borrowed: it must outlive its installation.
class IDMShellRunner {
public:
    virtual ~IDMShellRunner() = default;
    // Same contract as DMLinuxUtil_SystemCall.
    virtual int Run(const char* command) = 0;
    virtual void Pause(unsigned int usec) = 0;
};
// Installs runner (nullptr restores the real one).
void DMLinuxUtil_SetShellRunner(IDMShellRunner* runner);
// The real runner, for recorders that also run what they record.
IDMShellRunner* DMLinuxUtil_RealShellRunner();

// Lets the serving child leave the process that started it: a session of its own (so that a
// timeout, a closing terminal or a signal to the caller's process group does not end it) and
// standard input and output (and standard error unless keepStderr) on /dev/null, so that a caller
// reading the start's output to its end, as `| cat` or `$(...)` do, is not held by the daemon.
// 0, or -1 when /dev/null cannot be opened (the streams are then left as they are).
int DMLinuxUtil_DetachFromCaller(bool keepStderr);

// Test seam: the directory read in place of /proc (nullptr restores "/proc").
void DMLinuxUtil_SetProcRoot(const char* root);
