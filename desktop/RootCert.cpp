// The daemon's root certificate authority (the user's own, else the machine's) in the user's NSS
// databases, added and removed with certutil: the shared database under the home directory, every relative Firefox profile in both
// database formats, and the Firefox and Chromium sandboxes (Snap, Flatpak) when they are present.
//
// The commands run in the background and are not waited for; the 100 ms pause after each command
// is all that orders one after the other.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "credentials/UserCredentials.h"
#include "desktop/Desktop.h"
#include "nv_config.h"
#include "support/DMLog.h"
#include "support/LinuxUtil.h"
#include "support/Owners.h"
#include "support/ProcessUtil.h"

namespace {

constexpr const char* kNickname = "Tollan Root Authority - Velstra";
constexpr const char* kSharedTrust = "TC";
constexpr const char* kProfileTrust = "TC,C,c";
constexpr const char* kBrowserName = "firefox";
constexpr unsigned int kCommandPauseUsec = 100000;
constexpr int kMaxProfiles = 32;
constexpr size_t kPathBuffer = 260;      // database arguments, profile directories
constexpr size_t kCommandBuffer = 1024;  // certutil commands

// Owns the strings Load_FireFoxProfileDir put in the list until each is handed over and freed.
class CProfileList {
public:
    CProfileList() = default;
    ~CProfileList() {
        for (char*& entry : m_list) {
            std::free(entry);
            entry = nullptr;
        }
    }
    CProfileList(const CProfileList&) = delete;
    CProfileList& operator=(const CProfileList&) = delete;

    char** Slots() { return m_list; }

private:
    char* m_list[kMaxProfiles + 1] = {};
};

std::string& RootCertFileOverride() {
    static std::string s_path;
    return s_path;
}

// The user's own root CA when the installation issued one (the daemon then serves the user's own
// certificate), the machine's otherwise. Registered under the same nickname either way, so the one
// replaces the other.
std::string RootCertFile() {
    if (!RootCertFileOverride().empty())
        return RootCertFileOverride();
    const std::string own = NV_UserRootCertFile();
    struct stat st {};
    // One that certutil could not read would leave the databases without any root.
    if (!own.empty() && stat(own.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(own.c_str(), R_OK) == 0)
        return own;
    char path[kPathBuffer];
    std::snprintf(path, sizeof(path), "%s/%s", NV_INSTALL_DIR, NV_ROOT_CERT_FILE_NAME);
    return path;
}

// A database argument that does not fit its buffer would name another directory: skipped instead.
bool BuildDbArgument(std::string& out, const char* prefix, const char* dir, const char* profile) {
    char buffer[kPathBuffer];
    int len = profile != nullptr
                  ? std::snprintf(buffer, sizeof(buffer), "%s%s/%s", prefix, dir, profile)
                  : std::snprintf(buffer, sizeof(buffer), "%s%s", prefix, dir);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(buffer)) {
        DMlogprint("[CERT] database path too long, skipped: %s%s\n", prefix, dir);
        return false;
    }
    out = buffer;
    return true;
}

void RunCertutil(const std::string& command) {
    // A cut command could lose its closing quote: refused instead.
    if (command.size() >= kCommandBuffer) {
        DMlogprint("[CERT] command too long (%zu characters), not run\n", command.size());
        return;
    }
    DMLinuxUtil_SystemCall(command.c_str());
}

int LoadProfilesIni(const std::string& iniPath, char** list, int max) {
    FilePtr file(std::fopen(iniPath.c_str(), "rt"));
    if (!file)
        return -1;
    int hits = 0;
    int stored = 0;
    char path[kPathBuffer] = {0};
    char line[1024];
    // A profile is taken once its section has shown both IsRelative=1 and a non-empty Path, in
    // either order; a hit carries over other sections until the next [ProfileN] header.
    while (hits < 2 && std::fgets(line, sizeof(line), file.get()) != nullptr) {
        int number = -1;
        if (std::sscanf(line, "[Profile%d]", &number) == 1) {
            if (number >= 0) {
                path[0] = '\0';
                hits = 0;
            }
        } else if (std::sscanf(line, "IsRelative=%d", &number) == 1) {
            if (number == 1)
                ++hits;
        } else if (std::sscanf(line, "Path=%259s", path) == 1 && path[0] != '\0') {
            ++hits;
        }
        if (hits >= 2 && stored < max) {
            hits = 0;
            // Two hits without any path (a repeated IsRelative=1 line) name no profile: an empty
            // entry would point certutil at the Firefox directory itself.
            if (path[0] == '\0')
                continue;
            char* entry = static_cast<char*>(std::malloc(kPathBuffer));
            if (entry != nullptr) {
                std::memcpy(entry, path, kPathBuffer);
                entry[kPathBuffer - 1] = '\0';
                list[stored++] = entry;
            }
            list[stored] = nullptr;
        }
    }
    return stored;
}

// Relative profiles of the Firefox installation whose profiles.ini lies in <home>/<firefoxDir>;
// each database argument is handed to dbJob as soon as it is built.
template <typename Job>
void ForEachProfileDb(const char* firefoxDir, const char* prefix, Job dbJob) {
    std::string dir = std::string(DMLinuxUtil_GetUserHOMEDir()) + "/" + firefoxDir;
    CProfileList profiles;
    char** list = profiles.Slots();
    LoadProfilesIni(dir + "/profiles.ini", list, kMaxProfiles);
    for (int i = 0; list[i] != nullptr; ++i) {
        std::string db;
        bool built = BuildDbArgument(db, prefix, dir.c_str(), list[i]);
        std::free(list[i]);
        list[i] = nullptr;
        if (built)
            dbJob(db.c_str());
    }
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The passes over all databases, in order. Passes 0 to 2 are the shared database and the Firefox
// profiles in the older and the SQLite format. Browsers installed as Snap or Flatpak keep their
// own databases, which those paths never reach; they follow when present (their Firefox is recent
// enough to know only the SQLite format). afterPass runs after each pass with its number.
template <typename Job, typename AfterPass>
void ForEachDatabase(Job dbJob, AfterPass afterPass) {
    const std::string home = DMLinuxUtil_GetUserHOMEDir();
    std::string db;
    if (BuildDbArgument(db, "sql:", (home + "/.pki/nssdb").c_str(), nullptr))
        dbJob(db.c_str(), kSharedTrust);
    afterPass(0);

    auto profileJob = [&dbJob](const char* profileDb) { dbJob(profileDb, kProfileTrust); };
    ForEachProfileDb(".mozilla/firefox", "", profileJob);
    afterPass(1);
    ForEachProfileDb(".mozilla/firefox", "sql:", profileJob);
    afterPass(2);

    ForEachProfileDb("snap/firefox/common/.mozilla/firefox", "sql:", profileJob);
    afterPass(3);
    ForEachProfileDb(".var/app/org.mozilla.firefox/.mozilla/firefox", "sql:", profileJob);
    afterPass(4);
    const std::string chromium = home + "/snap/chromium/current/.pki/nssdb";
    if (IsDirectory(chromium) && BuildDbArgument(db, "sql:", chromium.c_str(), nullptr))
        dbJob(db.c_str(), kSharedTrust);
    afterPass(5);
}

}  // namespace

extern "C" int Load_FireFoxProfileDir(char** list, int max) {
    if (list == nullptr)
        return -1;
    return LoadProfilesIni(
        std::string(DMLinuxUtil_GetUserHOMEDir()) + "/.mozilla/firefox/profiles.ini", list, max);
}

int Delete_RootCertDB(const char* db) {
    RunCertutil("certutil -d " + DMLinuxUtil_ShellWord(db) + " -D -n " +
                DMLinuxUtil_ShellQuoted(kNickname));
    DMLinuxUtil_CommandPause(kCommandPauseUsec);
    return 0;
}

int Regist_RootCertDB(const char* db, const char* trust) {
    // Delete first, whether or not the database holds the nickname, so a renewed file replaces the old.
    Delete_RootCertDB(db);
    const std::string certFile = RootCertFile();
    RunCertutil("certutil -A -t " + DMLinuxUtil_ShellQuoted(trust) + " -n " +
                DMLinuxUtil_ShellQuoted(kNickname) + " -i " +
                DMLinuxUtil_ShellQuoted(certFile.c_str()) + " -d " + DMLinuxUtil_ShellQuoted(db));
    DMLinuxUtil_CommandPause(kCommandPauseUsec);
    return 0;
}

int Check_RunningBrowser(int pass) {
    // Only the Firefox profile passes concern a running Firefox, which may hold its databases open.
    if (pass != 1 && pass != 2)
        return 0;
    if (DMLinuxUtil_CheckProcess(kBrowserName) == 0)
        return 0;
    char message[1024];
    std::snprintf(message, sizeof(message),
                  "정상적인 공인인증모듈 사용을 위해서는 %s 브라우저를 종료해야 합니다.\n 현재 "
                  "진행하고 계신 업무를 "
                  "확인 후 '확인' 버튼을 클릭하시기 바랍니다.",
                  kBrowserName);
    if (DMLinuxUtil_ShowMessageBox(message, "Infomation", /*type=question*/ 2) != 1)
        return 0;
    DMLinuxUtil_KillProcess(kBrowserName);
    if (std::strcmp(kBrowserName, "firefox") == 0)
        DMLinuxUtil_KillProcess("firefox-bin");
    return 1;
}

namespace {

// certutil creates a database only inside an existing directory. A user who has never started a
// browser that uses ~/.pki/nssdb has none, and without this the installation would silently leave
// that browser untrusting when it first starts. Created private, as the browsers do.
void EnsureSharedDatabaseDirectory() {
    const std::string pki = std::string(DMLinuxUtil_GetUserHOMEDir()) + "/.pki";
    for (const std::string& dir : {pki, pki + "/nssdb"}) {
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            DMlogprint("Regist_RootCert: mkdir %s failed (%d)\n", dir.c_str(), errno);
    }
}

}  // namespace

extern "C" int Regist_RootCert(int ask) {
    EnsureSharedDatabaseDirectory();
    ForEachDatabase([](const char* db, const char* trust) { Regist_RootCertDB(db, trust); },
                    [ask](int pass) {
                        if (ask != 0)
                            Check_RunningBrowser(pass);
                    });
    return 0;
}

extern "C" int Delete_RootCert() {
    ForEachDatabase([](const char* db, const char*) { Delete_RootCertDB(db); }, [](int) {});
    return 3;
}

void DMLinuxUtil_SetRootCertFile(const char* path) {
    RootCertFileOverride() = path != nullptr ? path : "";
}

const char* RootCertNickname() {
    return kNickname;
}

void ForEachRootCertDatabase(const std::function<void(const char* db, const char* trust)>& job) {
    ForEachDatabase([&job](const char* db, const char* trust) { job(db, trust); }, [](int) {});
}
