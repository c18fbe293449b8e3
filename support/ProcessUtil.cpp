// Process control: background shell commands, kill commands and /proc scans.
#include "support/ProcessUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "nv_config.h"
#include "support/DMLog.h"
#include "support/Owners.h"

namespace {

// Background children not yet collected. Touched by the main thread only.
std::vector<pid_t>& BackgroundChildren() {
    static std::vector<pid_t> s_children;
    return s_children;
}

// Collects the children that have ended, without waiting for the others.
void ReapFinishedChildren() {
    auto& children = BackgroundChildren();
    for (auto it = children.begin(); it != children.end();) {
        pid_t done = waitpid(*it, nullptr, WNOHANG);
        // ECHILD: someone else collected it already.
        if (done == *it || (done < 0 && errno == ECHILD))
            it = children.erase(it);
        else
            ++it;
    }
}

// Read end of the pipe whose write end the newest background command's child holds until it ends
// (none before the first command). Children inherit it and wait for end of file on it, so that the
// commands of one process run one after another in the order they were given.
CUniqueFd s_lastCommandDone;

// At most this long a command waits for the one before it: a command that hangs (certutil asking
// for a database password nobody types) holds up the next one once, not the rest for ever.
constexpr int kPreviousCommandWaitMs = 10000;

void WaitForEndOfFile(int fd, int timeoutMs) {
    if (fd < 0)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        char byte;
        ssize_t got = read(fd, &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return;  // the writer has ended
    }
}

// The product's runner: a child process per command, never waited for by the caller.
//
// The caller's pauses alone do not order the commands: on a busy machine a certutil delete could
// still run after the add that the caller gave 100 ms later, and the certificate would be gone.
// So each child first waits until the child of the previous command has ended; the call itself
// still returns at once.
class CDMRealShellRunner : public IDMShellRunner {
public:
    int Run(const char* command) override {
        ReapFinishedChildren();
        int ends[2] = {-1, -1};
        // Close-on-exec: only the command's own child holds the write end, not the shell it starts.
        if (pipe2(ends, O_CLOEXEC) != 0)
            ends[0] = ends[1] = -1;
        CUniqueFd doneRead(ends[0]);
        CUniqueFd doneWrite(ends[1]);
        pid_t pid = fork();
        if (pid < 0) {
            DMlogprint("DMLinuxUtil_SystemCall: fork failed (%s)\n", std::strerror(errno));
            return -1;
        }
        if (pid == 0) {
            doneRead.Reset();
            WaitForEndOfFile(s_lastCommandDone.Get(), kPreviousCommandWaitMs);
            int ignored = std::system(command);
            (void)ignored;
            // _exit, not exit: the child must not run the parent's exit handlers or flush its
            // streams. Ending closes the write end and lets the next command go.
            _exit(0);
        }
        if (doneRead.Valid())
            s_lastCommandDone = std::move(doneRead);
        BackgroundChildren().push_back(pid);
        return 0;
    }
    void Pause(unsigned int usec) override { usleep(usec); }
};

CDMRealShellRunner s_realRunner;
IDMShellRunner* s_pRunner = &s_realRunner;

// The directory read as /proc (replaced by tests only).
std::string& ProcRoot() {
    static std::string s_procRoot = "/proc";
    return s_procRoot;
}

// The test on the entry itself; file systems that do not fill d_type are asked with lstat.
bool IsDirectoryEntry(const char* root, const struct dirent* entry) {
    if (entry->d_type == DT_DIR)
        return true;
    if (entry->d_type != DT_UNKNOWN)
        return false;
    std::string path = std::string(root) + "/" + entry->d_name;
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A decimal number made of the whole name, or -1.
int ProcessNumber(const char* name) {
    if (name[0] < '0' || name[0] > '9')
        return -1;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(name, &end, 10);
    if (errno != 0 || *end != '\0' || value > 0x7fffffffL)
        return -1;
    return static_cast<int>(value);
}

// The real user id on the "Uid:" line of /proc/<id>/status, or -1 when it cannot be read (the
// process ended, or the line is not there).
long ProcessRealUid(const std::string& root, int id) {
    std::string path = root + "/" + std::to_string(id) + "/status";
    FilePtr file(std::fopen(path.c_str(), "r"));
    if (!file)
        return -1;
    char line[256];
    while (std::fgets(line, sizeof(line), file.get()) != nullptr) {
        if (std::strncmp(line, "Uid:", 4) != 0)
            continue;
        char* end = nullptr;
        errno = 0;
        long uid = std::strtol(line + 4, &end, 10);
        return (errno != 0 || end == line + 4 || uid < 0) ? -1 : uid;
    }
    return -1;
}

bool IsPlainShellChar(unsigned char c) {
    if (c >= 0x80)
        return true;  // bytes of multibyte characters mean nothing to the shell
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("/._-+,:@%=", c) != nullptr && c != '\0';
}

std::string SingleQuoted(const char* value) {
    std::string out = "'";
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\'')
            out += "'\\''";
        else
            out += *p;
    }
    out += "'";
    return out;
}

// Hands a built command to the runner unless it exceeds the room the command buffers have; a cut
// command could lose its closing quote or name another process, so it is refused instead.
int RunLimited(const char* who, const std::string& command, size_t maxChars) {
    if (command.size() > maxChars) {
        DMlogprint("%s: command too long (%zu characters), not run\n", who, command.size());
        return -1;
    }
    return DMLinuxUtil_SystemCall(command.c_str());
}

}  // namespace

extern "C" {

int DMLinuxUtil_SystemCall(const char* command) {
    if (command == nullptr)
        return -1;
    return s_pRunner->Run(command);
}

int DMLinuxUtil_KillProcessID(int pid) {
    char command[256];
    std::snprintf(command, sizeof(command), "kill %d", pid);
    DMLinuxUtil_SystemCall(command);
    return 0;
}

int DMLinuxUtil_KillProcess(const char* name) {
    if (name == nullptr)
        return 0;
    RunLimited("DMLinuxUtil_KillProcess", "killall -9 " + DMLinuxUtil_ShellWord(name), 255);
    return 0;
}

int DMLinuxUtil_CheckProcess(const char* pattern) {
    const std::string& root = ProcRoot();
    DirPtr dir(opendir(root.c_str()));
    if (!dir) {
        DMlogprint("err: NO_DIR\n");
        return 0;
    }
    if (pattern == nullptr)
        return 0;
    while (struct dirent* entry = readdir(dir.get())) {
        // Process directories have numeric names; the named entries of /proc begin with a letter.
        if (entry->d_name[0] == '.' || entry->d_name[0] > '9')
            continue;
        if (!IsDirectoryEntry(root.c_str(), entry))
            continue;
        std::string path = root + "/" + entry->d_name + "/status";
        char line[128] = {0};
        {
            FilePtr file(std::fopen(path.c_str(), "rt"));
            if (!file)
                continue;  // the process ended meanwhile, or access is denied
            if (std::fgets(line, sizeof(line), file.get()) == nullptr)
                line[0] = '\0';
        }
        if (std::strstr(line, pattern) != nullptr) {
            int id = std::atoi(entry->d_name);
            return id == 0 ? 1 : id;
        }
    }
    return 0;
}

int ReadFirstLine(const char* path, char* buffer, int length) {
    if (path == nullptr || buffer == nullptr || length < 1)
        return -1;
    FilePtr file(std::fopen(path, "r"));
    if (!file)
        return -1;
    std::memset(buffer, 0, static_cast<size_t>(length));
    if (std::fgets(buffer, length, file.get()) == nullptr)
        buffer[0] = '\0';
    return 0;
}

}  // extern "C"

void DMLinuxUtil_CommandPause(unsigned int usec) {
    s_pRunner->Pause(usec);
}

int DMLinuxUtil_CollectBackgroundCommands(int timeoutMs) {
    int waitedMs = 0;
    for (;;) {
        ReapFinishedChildren();
        int running = static_cast<int>(BackgroundChildren().size());
        if (running == 0 || waitedMs >= timeoutMs)
            return running;
        usleep(10000);
        waitedMs += 10;
    }
}

void DMLinuxUtil_TrackBackgroundChild(int pid) {
    if (pid > 0)
        BackgroundChildren().push_back(static_cast<pid_t>(pid));
}

std::string DMLinuxUtil_ShellWord(const char* value) {
    if (value == nullptr || value[0] == '\0')
        return "''";
    for (const char* p = value; *p != '\0'; ++p)
        if (!IsPlainShellChar(static_cast<unsigned char>(*p)))
            return SingleQuoted(value);
    return value;
}

std::string DMLinuxUtil_ShellQuoted(const char* value) {
    if (value == nullptr)
        return "\"\"";
    // Inside double quotes the shell still expands $ and ` and gives " and \ their meaning.
    if (std::strpbrk(value, "$`\"\\") != nullptr)
        return SingleQuoted(value);
    return std::string("\"") + value + "\"";
}

void DMLinuxUtil_WaitForEarlierCommands() {
    WaitForEndOfFile(s_lastCommandDone.Get(), kPreviousCommandWaitMs);
}

IDMShellRunner* DMLinuxUtil_RealShellRunner() {
    return &s_realRunner;
}

void DMLinuxUtil_SetShellRunner(IDMShellRunner* runner) {
    s_pRunner = runner != nullptr ? runner : &s_realRunner;
}

void DMLinuxUtil_SetProcRoot(const char* root) {
    ProcRoot() = root != nullptr ? root : "/proc";
}

int DMLinuxUtil_SystemCallBounded(const char* who, const std::string& command, size_t maxChars) {
    return RunLimited(who, command, maxChars);
}

bool DMLinuxUtil_ForEachProcess(const std::function<bool(int id, const std::string& dir)>& visit) {
    const std::string& root = ProcRoot();
    DirPtr dir(opendir(root.c_str()));
    if (!dir)
        return false;
    while (struct dirent* entry = readdir(dir.get())) {
        if (!IsDirectoryEntry(root.c_str(), entry))
            continue;
        int id = ProcessNumber(entry->d_name);
        if (id <= 0)
            continue;
        if (!visit(id, root + "/" + std::to_string(id)))
            break;
    }
    return true;
}

long DMLinuxUtil_ProcessRealUid(int id) {
    return ProcessRealUid(ProcRoot(), id);
}
