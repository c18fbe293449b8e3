// Process control for the daemon and the desktop jobs: background shell commands, kill commands
// and finding processes through /proc. The daemon's own start-up policy built on them (restarting
// itself, the single-instance rule, leaving its caller) is the daemon's: daemon/StartupPolicy.h.
//
// Every shell command of the daemon goes through DMLinuxUtil_SystemCall, which hands it to the
// installed shell runner (the real one forks and runs the command with system(); tests install a
// recorder that keeps the exact command texts). All functions are called from the main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

extern "C" {
// Runs command through the shell in a background child process. Returns -1 when the child
// cannot be created, otherwise 0 at once, before the command has finished (or even started).
// The commands of one process run one after another, in the order given.
int DMLinuxUtil_SystemCall(const char* command);
// "kill <pid>" in the background. Returns 0.
int DMLinuxUtil_KillProcessID(int pid);
// "killall -9 <name>" in the background. Returns 0.
int DMLinuxUtil_KillProcess(const char* name);
// Id of the first process whose status name line contains pattern (1 if that id reads as 0);
// 0 when none is found or /proc cannot be opened.
int DMLinuxUtil_CheckProcess(const char* pattern);
// Reads the first line (at most length - 1 characters, newline kept) into buffer, zeroed first.
// Returns 0, or -1 when the file cannot be opened (buffer untouched).
int ReadFirstLine(const char* path, char* buffer, int length);
}

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

// Hands command to DMLinuxUtil_SystemCall unless it is longer than maxChars, the room the command
// buffers have: a cut command could lose its closing quote or name another process, so it is
// refused instead, with the log line "<who>: command too long (<n> characters), not run". Returns
// what DMLinuxUtil_SystemCall returns, or -1.
int DMLinuxUtil_SystemCallBounded(const char* who, const std::string& command, size_t maxChars);

// Calls visit(id, dir) for every process directory of /proc (an entry that is a directory and
// whose whole name is a process number above 0; dir is its path), in directory order, until visit
// returns false. False when /proc cannot be opened.
bool DMLinuxUtil_ForEachProcess(const std::function<bool(int id, const std::string& dir)>& visit);
// The real user id on the "Uid:" line of /proc/<id>/status, or -1 when it cannot be read (the
// process ended, or the line is not there).
long DMLinuxUtil_ProcessRealUid(int id);

// Test seam: the directory read in place of /proc (nullptr restores "/proc").
void DMLinuxUtil_SetProcRoot(const char* root);
