// A user's own credentials: where they live, the checks a credential file must pass before the
// daemon serves it, and their issuing and renewal at installation.
#include "credentials/UserCredentials.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "credentials/CredentialIssuer.h"
#include "credentials/OpenSslOwners.h"
#include "nv_config.h"
#include "support/LinuxUtil.h"
#include "support/Owners.h"

namespace {

// The base data directory and the directories that may have to be made, in order, before the
// program's folder can be: every level of $XDG_DATA_HOME, or <home>/.local and .local/share (the
// home directory itself is never made). A relative XDG_DATA_HOME is invalid and ignored, as the
// XDG rules say. "" when no absolute home directory is known.
std::string DataHome(std::vector<std::string>* toMake) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        const std::string base = xdg;
        for (size_t slash = base.find('/', 1); toMake != nullptr;
             slash = base.find('/', slash + 1)) {
            toMake->push_back(base.substr(0, slash));
            if (slash == std::string::npos)
                break;
        }
        return base;
    }
    const char* home = DMLinuxUtil_GetUserHOMEDir();
    if (home == nullptr || home[0] != '/')
        return "";
    std::string base = home;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base == "/")
        base.clear();
    if (toMake != nullptr) {
        toMake->push_back(base + "/.local");
        toMake->push_back(base + "/.local/share");
    }
    return base + "/.local/share";
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The certificate's end as text for the log ("Dec  9 08:00:00 2036 GMT").
std::string EndOf(const X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), X509_get0_notAfter(cert)) != 1)
        return "?";
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return len > 0 && data != nullptr ? std::string(data, static_cast<size_t>(len)) : "?";
}

}  // namespace

std::string NV_UserCredentialDir() {
    const std::string base = DataHome(nullptr);
    return base.empty() ? base : base + "/" NV_PROGRAM_NAME;
}

std::string NV_UserCredentialFile() {
    const std::string dir = NV_UserCredentialDir();
    return dir.empty() ? dir : dir + "/" NV_CREDENTIAL_FILE_NAME;
}

std::string NV_UserRootCertFile() {
    const std::string dir = NV_UserCredentialDir();
    return dir.empty() ? dir : dir + "/" NV_ROOT_CERT_FILE_NAME;
}

std::string NV_MachineCredentialFile() {
    return NV_INSTALL_DIR "/" NV_CREDENTIAL_FILE_NAME;
}

std::string NV_MachineRootCertFile() {
    return NV_INSTALL_DIR "/" NV_ROOT_CERT_FILE_NAME;
}

int NV_OpenPrivateCredentialFile(const std::string& path, std::string* why) {
    std::string dummy;
    if (why == nullptr)
        why = &dummy;
    // Not blocking, so that a FIFO put in the file's place cannot hold the caller in open().
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.Valid()) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            *why = "no credential file of the user's own at " + path;
            return -1;
        }
        *why = path + " refused: cannot be opened (" + std::strerror(err) + ")";
        return -2;
    }
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) {
        const int err = errno;
        *why = path + " refused: cannot be examined (" + std::strerror(err) + ")";
        return -2;
    }
    char detail[96] = {0};
    if (!S_ISREG(st.st_mode)) {
        std::snprintf(detail, sizeof(detail), "not a regular file");
    } else if (st.st_uid != geteuid()) {
        std::snprintf(detail, sizeof(detail), "not owned by the user (owner uid %lu)",
                      static_cast<unsigned long>(st.st_uid));
    } else if ((st.st_mode & 077) != 0) {
        // Another user who can read it has the user's server key; one who can write it can put in
        // a key of their own.
        const char* how = (st.st_mode & 044) != 0   ? "readable by other users"
                          : (st.st_mode & 022) != 0 ? "writable by other users"
                                                    : "open to other users";
        std::snprintf(detail, sizeof(detail), "%s (mode %04o)", how,
                      static_cast<unsigned int>(st.st_mode & 07777));
    }
    if (detail[0] != '\0') {
        *why = path + " refused: " + detail;
        return -2;
    }
    return fd.Release();
}

int NV_LoadServedCredentials(DEC_CERT* cert, std::string* path, std::string* why) {
    if (cert == nullptr || path == nullptr || why == nullptr)
        return -1;
    const std::string userFile = NV_UserCredentialFile();
    if (userFile.empty()) {
        *why = "no home directory for a credential file of the user's own";
    } else {
        CUniqueFd fd(NV_OpenPrivateCredentialFile(userFile, why));
        if (fd.Valid()) {
            const int rc = LoadEncryptedCertFd(fd.Get(), cert);
            if (rc == 0) {
                *path = userFile;
                *why = "the user's own credential file";
                return 0;
            }
            *why = userFile + " refused: cannot be deciphered (code " + std::to_string(rc) + ")";
        }
    }
    // Installations of users who never had credentials of their own keep being served as before.
    *path = NV_MachineCredentialFile();
    return LoadEncryptedCert(path->c_str(), cert);
}

int NV_CheckUserCredentials(const std::string& dir, std::string* why) {
    std::string dummy;
    if (why == nullptr)
        why = &dummy;
    const std::string credFile = dir + "/" NV_CREDENTIAL_FILE_NAME;
    const std::string rootFile = dir + "/" NV_ROOT_CERT_FILE_NAME;
    const bool haveCred = Exists(credFile);
    const bool haveRoot = Exists(rootFile);
    if (!haveCred && !haveRoot) {
        *why = "no credentials of the user's own in " + dir;
        return NV_USERCREDS_NONE;
    }
    if (!haveCred || !haveRoot) {
        *why = (haveCred ? rootFile : credFile) + " is missing";
        return NV_USERCREDS_BAD;
    }

    CUniqueFd fd(NV_OpenPrivateCredentialFile(credFile, why));
    if (!fd.Valid())
        return NV_USERCREDS_BAD;
    DEC_CERT cert;
    const int rc = LoadEncryptedCertFd(fd.Get(), &cert);
    fd.Reset();
    if (rc != 0) {
        *why = credFile + " cannot be deciphered (code " + std::to_string(rc) + ")";
        return NV_USERCREDS_BAD;
    }

    BioPtr certBio(BIO_new_mem_buf(cert.pCert, cert.nCertLen));
    BioPtr keyBio(BIO_new_mem_buf(cert.pKey, cert.nKeyLen));
    X509Ptr server(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    PKeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                       : nullptr);
    // Anything but a regular file (a FIFO would block the read) is no root certificate.
    struct stat rootStat;
    if (stat(rootFile.c_str(), &rootStat) != 0 || !S_ISREG(rootStat.st_mode)) {
        *why = rootFile + " is not a regular file";
        return NV_USERCREDS_BAD;
    }
    BioPtr rootBio(BIO_new_file(rootFile.c_str(), "r"));
    X509Ptr root(rootBio ? PEM_read_bio_X509(rootBio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!server || !key) {
        *why = credFile + " holds no usable certificate and key";
        return NV_USERCREDS_BAD;
    }
    if (!root) {
        *why = rootFile + " holds no certificate";
        return NV_USERCREDS_BAD;
    }
    // The pair and the root must belong together, or the browser would trust a root whose
    // certificate the daemon does not serve.
    if (X509_check_private_key(server.get(), key.get()) != 1 ||
        X509_check_issued(root.get(), server.get()) != X509_V_OK ||
        X509_verify(server.get(), X509_get0_pubkey(root.get())) != 1) {
        ERR_clear_error();
        *why = credFile + " and " + rootFile + " do not belong together";
        return NV_USERCREDS_BAD;
    }

    time_t margin = std::time(nullptr) + static_cast<time_t>(NV_USER_RENEW_DAYS) * 24 * 3600;
    for (const X509* c :
         {static_cast<const X509*>(server.get()), static_cast<const X509*>(root.get())}) {
        if (X509_cmp_time(X509_get0_notAfter(c), &margin) <= 0) {
            *why =
                std::string(c == server.get() ? "the server certificate" : "the root certificate") +
                " ends within " + std::to_string(NV_USER_RENEW_DAYS) + " days (" + EndOf(c) + ")";
            return NV_USERCREDS_RENEW;
        }
    }
    *why = "the user's own credentials in " + dir + ", valid until " + EndOf(server.get());
    return NV_USERCREDS_GOOD;
}

int NV_EnsureUserCredentials(std::string* what) {
    std::string dummy;
    if (what == nullptr)
        what = &dummy;
    std::vector<std::string> parents;
    const std::string base = DataHome(&parents);
    if (base.empty()) {
        *what = "not issued: no home directory";
        return -1;
    }
    const std::string dir = base + "/" NV_PROGRAM_NAME;
    std::string why;
    const int state = NV_CheckUserCredentials(dir, &why);
    if (state == NV_USERCREDS_GOOD) {
        *what = "kept: " + why;
        return 0;
    }

    // The data directories the XDG rules would have the desktop make, private as they say.
    for (const std::string& parent : parents) {
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            *what = "not issued: cannot create " + parent + " (" + std::strerror(errno) + ")";
            return -1;
        }
    }
    CCredentialIssuer issuer;
    std::string error;
    if (issuer.CreateRootCA(&error) != 0 || issuer.IssueServerCert(&error) != 0) {
        *what = "not issued: " + error;
        return -1;
    }
    // The CA has signed all it ever will: its key goes before anything touches the disk.
    issuer.DropCAKey();
    if (issuer.WriteFiles(dir, /*force=*/true, &error, /*userPrivate=*/true) != NV_CREDTOOL_OK) {
        *what = "not issued: " + error;
        return -1;
    }
    const char* verb = state == NV_USERCREDS_NONE    ? "issued"
                       : state == NV_USERCREDS_RENEW ? "renewed"
                                                     : "replaced";
    *what = std::string(verb) + " in " + dir + " (" + why + ")";
    return 1;
}
