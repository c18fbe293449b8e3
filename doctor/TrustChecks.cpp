// Trust: the root CA in every NSS database that -I writes to, read with `certutil -L` (the same
// tool installation writes with). The list of databases is the desktop library's own, so this
// check and installation cannot disagree about where the root belongs.
#include <sys/stat.h>

#include <openssl/pem.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "credentials/OpenSslOwners.h"
#include "desktop/Desktop.h"
#include "doctor/Doctor.h"
#include "nv_config.h"

namespace {

constexpr int kCertutilTimeoutMs = 5000;

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The three fields of a trust string ("TC" is "TC,,"), each as a set of flag letters. certutil
// lists "TC" as "CT": the order of letters carries no meaning.
std::vector<std::set<char>> TrustFields(const std::string& trust) {
    std::vector<std::set<char>> fields(3);
    size_t field = 0;
    for (char c : trust) {
        if (c == ',') {
            if (++field >= fields.size())
                break;
        } else {
            fields[field].insert(c);
        }
    }
    return fields;
}

bool TrustCovers(const std::string& listed, const std::string& wanted) {
    auto have = TrustFields(listed);
    auto want = TrustFields(wanted);
    for (size_t i = 0; i < want.size(); ++i)
        for (char c : want[i])
            if (have[i].count(c) == 0)
                return false;
    return true;
}

// The trust string certutil lists for the nickname, or "" when the nickname is not listed. The
// listing puts the nickname first and the trust string last on each line.
std::string ListedTrust(const std::string& listing, const std::string& nickname) {
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, nickname.size(), nickname) != 0)
            continue;
        std::string rest = line.substr(nickname.size());
        if (rest.empty() || (rest[0] != ' ' && rest[0] != '\t'))
            continue;
        std::istringstream words(rest);
        std::string word, last;
        while (words >> word)
            last = word;
        return last;
    }
    return "";
}

// True when one of the PEM certificates certutil printed for the nickname is the root CA itself
// (a renewed CA leaves an old certificate of the same nickname behind when -I was not run again).
bool HoldsRootCa(const std::string& pemText, X509* root) {
    BioPtr bio(BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size())));
    if (!bio)
        return false;
    for (;;) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        if (X509_cmp(cert.get(), root) == 0)
            return true;
    }
    return false;
}

std::string RegisterAdvice() {
    return std::string("register the root CA again: ") + NV_INSTALL_DIR + "/" + NV_PROGRAM_NAME +
           " -I (it asks to close a running Firefox)";
}

}  // namespace

void CheckTrustInDatabase(const std::string& db, const std::string& trust,
                          const std::string& rootCertFile, CDoctorReport& report) {
    const std::string dir = db.rfind("sql:", 0) == 0 ? db.substr(4) : db;
    const std::string name = "trust " + dir;
    if (!FileExists(dir + "/cert9.db")) {
        report.Add(name, CheckState::Bad, "no NSS database (cert9.db) in " + dir, RegisterAdvice());
        return;
    }
    BioPtr rootBio(BIO_new_file(rootCertFile.c_str(), "r"));
    X509Ptr root(rootBio ? PEM_read_bio_X509(rootBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!root) {
        report.Add(name, CheckState::Bad, "not checked: the root CA file cannot be read",
                   "see the root CA check");
        return;
    }
    const std::string sqlDb = "sql:" + dir;
    const std::string nickname = RootCertNickname();
    std::string listing;
    int rc = RunProgram({"certutil", "-L", "-d", sqlDb}, kCertutilTimeoutMs, listing);
    if (rc != 0) {
        report.Add(name, CheckState::Bad,
                   rc == -1
                       ? "certutil could not list " + dir + " (missing, killed or too slow)"
                       : "certutil -L failed on " + dir + " (status " + std::to_string(rc) + ")",
                   "install certutil (package libnss3-tools); if the database is damaged, move "
                   "it aside and run " +
                       std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME + " -I");
        return;
    }
    const std::string listed = ListedTrust(listing, nickname);
    if (listed.empty()) {
        report.Add(name, CheckState::Bad, "the root CA \"" + nickname + "\" is missing from " + dir,
                   RegisterAdvice());
        return;
    }
    std::string pem;
    rc = RunProgram({"certutil", "-L", "-d", sqlDb, "-n", nickname, "-a"}, kCertutilTimeoutMs, pem);
    if (rc != 0 || !HoldsRootCa(pem, root.get())) {
        report.Add(name, CheckState::Bad,
                   "\"" + nickname + "\" in " + dir + " is not the installed root CA (" +
                       rootCertFile + "): an older one",
                   RegisterAdvice());
        return;
    }
    if (!TrustCovers(listed, trust)) {
        report.Add(
            name, CheckState::Bad,
            "the root CA is in " + dir + " with trust \"" + listed + "\", not \"" + trust + "\"",
            RegisterAdvice());
        return;
    }
    report.Add(name, CheckState::Good, "root CA present with trust \"" + listed + "\"");
}

void CheckTrust(const DoctorContext& ctx, CDoctorReport& report) {
    // -I writes each Firefox profile twice, as a bare directory and with "sql:"; NSS opens the same
    // SQLite database for both, so each directory is checked once.
    std::vector<std::pair<std::string, std::string>> databases;
    std::set<std::string> seen;
    ForEachRootCertDatabase([&](const char* db, const char* trust) {
        std::string dir = db;
        if (dir.rfind("sql:", 0) == 0)
            dir = dir.substr(4);
        if (seen.insert(dir).second)
            databases.emplace_back(dir, trust);
    });
    size_t profiles = 0;
    for (const auto& [dir, trust] : databases) {
        CheckTrustInDatabase(dir, trust, ctx.rootCertFile, report);
        if (trust.find(',') != std::string::npos)
            ++profiles;
    }
    if (profiles == 0)
        report.Add("firefox profiles", CheckState::Good,
                   "none listed in " + ctx.home +
                       "/.mozilla/firefox/profiles.ini (nor in a Snap "
                       "or Flatpak Firefox)");
}
