// Certificate issuing and file writing for the credentials tool.
#include "credentials/CredentialIssuer.h"

#include <errno.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "credentials/CredentialFile.h"
#include "credentials/OpenSslOwners.h"
#include "nv_config.h"
#include "support/Owners.h"
#include "support/Wipe.h"

namespace {

// Fills *error with `what` and the first queued OpenSSL error; always returns -1.
int Fail(std::string* error, const char* what) {
    if (error != nullptr) {
        char buf[256] = {0};
        const unsigned long code = ERR_peek_last_error();
        if (code != 0)
            ERR_error_string_n(code, buf, sizeof(buf));
        *error = what;
        if (buf[0] != '\0') {
            *error += ": ";
            *error += buf;
        }
    }
    ERR_clear_error();
    return -1;
}

PKeyPtr NewP256Key() {
    return PKeyPtr(EVP_EC_gen("P-256"));
}

// A positive random 128-bit serial number.
bool SetRandomSerial(X509* cert) {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof(raw)) != 1)
        return false;
    raw[0] &= 0x7f;
    raw[0] |= 0x01;  // never zero, always 16 bytes long
    BnPtr bn(BN_bin2bn(raw, sizeof(raw), nullptr));
    return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool AddNameEntry(X509_NAME* name, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                      0) == 1;
}

// Adds one extension in OpenSSL's configuration syntax; `issuer` and `subject` give the context
// for key identifiers.
bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for `key` with `subject`, valid from an hour ago (clock skew) for `days` days,
// without extensions or signature yet.
X509Ptr NewCert(EVP_PKEY* key, const std::string& cn, int days) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
        !SetRandomSerial(cert.get()) ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(cert.get()), days, 0, nullptr) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());  // borrowed from cert
    if (!AddNameEntry(name, "O", "Norrim Velstra") || !AddNameEntry(name, "CN", cn))
        return nullptr;
    return cert;
}

bool ToPem(X509* cert, std::string* out) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return false;
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || data == nullptr)
        return false;
    out->assign(data, static_cast<size_t>(len));
    return true;
}

// The memory BIO clears its buffer as it is freed; the copy is the caller's to wipe.
bool ToPem(EVP_PKEY* key, std::string* out) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    if (len <= 0 || data == nullptr)
        return false;
    out->assign(data, static_cast<size_t>(len));
    return true;
}

// Writes `len` bytes to a new temporary file in `dir` and renames it to `name`; the file is
// complete or absent, never half written.
bool WriteFileAtomically(const std::string& dir, const char* name, const void* data, size_t len,
                         mode_t mode, std::string* error) {
    const std::string target = dir + "/" + name;
    std::string tmp = target + ".XXXXXX";
    CUniqueFd fd(mkstemp(&tmp[0]));
    if (!fd.Valid()) {
        *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const char* failed = nullptr;
    int err = 0;
    if (fchmod(fd.Get(), mode) != 0) {
        failed = "fchmod";
        err = errno;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (failed == nullptr && done < len) {
        const ssize_t n = write(fd.Get(), p + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = "write";
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (failed == nullptr && fsync(fd.Get()) != 0) {
        failed = "fsync";
        err = errno;
    }
    if (fd.Close() != 0 && failed == nullptr) {
        failed = "close";
        err = errno;
    }
    if (failed == nullptr && rename(tmp.c_str(), target.c_str()) != 0) {
        failed = "rename";
        err = errno;
    }
    if (failed != nullptr) {
        *error = std::string("cannot write ") + target + " (" + failed + "): " + std::strerror(err);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

struct CCredentialIssuer::Keys {
    PKeyPtr caKey;
    X509Ptr caCert;
};

CCredentialIssuer::CCredentialIssuer() : m_keys(new Keys) {}

CCredentialIssuer::~CCredentialIssuer() {
    DropCAKey();
    WipeString(m_serverKeyPem);
}

int CCredentialIssuer::CreateRootCA(std::string* error) {
    PKeyPtr key = NewP256Key();
    if (!key)
        return Fail(error, "cannot generate the CA key");

    // A short random tag in the name tells installations' authorities apart in certificate lists.
    unsigned char tag[4];
    if (RAND_bytes(tag, sizeof(tag)) != 1)
        return Fail(error, "no random data");
    char tagHex[9];
    std::snprintf(tagHex, sizeof(tagHex), "%02x%02x%02x%02x", tag[0], tag[1], tag[2], tag[3]);

    X509Ptr cert =
        NewCert(key.get(), std::string("Velstra Local Root CA ") + tagHex, NV_ROOT_CA_VALID_DAYS);
    if (!cert)
        return Fail(error, "cannot build the CA certificate");
    X509* c = cert.get();
    if (X509_set_issuer_name(c, X509_get_subject_name(c)) != 1 ||
        !AddExt(c, c, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !AddExt(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !AddExt(c, c, NID_subject_key_identifier, "hash") ||
        !AddExt(c, c, NID_name_constraints,
                "critical,permitted;IP:127.0.0.1/255.255.255.255,permitted;DNS:localhost") ||
        X509_sign(c, key.get(), EVP_sha256()) <= 0)
        return Fail(error, "cannot build the CA certificate");
    std::string pem;
    if (!ToPem(c, &pem))
        return Fail(error, "cannot encode the CA certificate");

    m_keys->caKey = std::move(key);
    m_keys->caCert = std::move(cert);
    m_rootCertPem = std::move(pem);
    return 0;
}

int CCredentialIssuer::IssueServerCert(std::string* error) {
    std::string certPem;
    std::string keyPem;
    CScopedWipe wipeKey(keyPem);
    if (IssueLeafForName("localhost", &certPem, &keyPem, error) != 0)
        return -1;
    m_serverCertPem = std::move(certPem);
    WipeString(m_serverKeyPem);
    m_serverKeyPem = keyPem;
    return 0;
}

int CCredentialIssuer::IssueLeafForName(const char* dnsName, std::string* certPem,
                                        std::string* keyPem, std::string* error) {
    if (dnsName == nullptr || certPem == nullptr || keyPem == nullptr)
        return Fail(error, "bad argument");
    if (!HasCAKey())
        return Fail(error, "the CA key is gone");

    PKeyPtr key = NewP256Key();
    if (!key)
        return Fail(error, "cannot generate the server key");
    X509Ptr cert = NewCert(key.get(), dnsName, NV_SERVER_CERT_VALID_DAYS);
    if (!cert)
        return Fail(error, "cannot build the server certificate");
    X509* c = cert.get();
    X509* ca = m_keys->caCert.get();
    const std::string san = std::string("IP:127.0.0.1,DNS:") + dnsName;
    if (X509_set_issuer_name(c, X509_get_subject_name(ca)) != 1 ||
        !AddExt(c, ca, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExt(c, ca, NID_key_usage, "critical,digitalSignature") ||
        !AddExt(c, ca, NID_ext_key_usage, "serverAuth") ||
        !AddExt(c, ca, NID_subject_alt_name, san.c_str()) ||
        !AddExt(c, ca, NID_subject_key_identifier, "hash") ||
        !AddExt(c, ca, NID_authority_key_identifier, "keyid:always") ||
        X509_sign(c, m_keys->caKey.get(), EVP_sha256()) <= 0)
        return Fail(error, "cannot build the server certificate");

    std::string cp;
    std::string kp;
    CScopedWipe wipeKp(kp);
    if (!ToPem(c, &cp) || !ToPem(key.get(), &kp))
        return Fail(error, "cannot encode the server credentials");
    *certPem = std::move(cp);
    WipeString(*keyPem);
    *keyPem = kp;
    return 0;
}

void CCredentialIssuer::DropCAKey() {
    // EVP_PKEY_free clears the private scalar (BN_clear_free) before releasing it.
    m_keys->caKey.reset();
}

bool CCredentialIssuer::HasCAKey() const {
    return m_keys->caKey != nullptr;
}

int CCredentialIssuer::WriteFiles(const std::string& dir, bool force, std::string* error,
                                  bool userPrivate) const {
    std::string dummy;
    if (error == nullptr)
        error = &dummy;
    if (m_rootCertPem.empty() || m_serverCertPem.empty() || m_serverKeyPem.empty()) {
        *error = "no credentials issued";
        return NV_CREDTOOL_FAILED;
    }
    if (mkdir(dir.c_str(), userPrivate ? 0700 : 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + dir + ": " + std::strerror(errno);
        return NV_CREDTOOL_FAILED;
    }
    if (userPrivate) {
        // A directory that is not the user's own (or a link to elsewhere) could be read or swapped
        // by whoever owns it: nothing secret goes there.
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
            *error = dir + " is not a directory of this user";
            return NV_CREDTOOL_FAILED;
        }
        if ((st.st_mode & 07777) != 0700 && chmod(dir.c_str(), 0700) != 0) {
            *error = "cannot make " + dir + " private: " + std::strerror(errno);
            return NV_CREDTOOL_FAILED;
        }
    }
    if (!force) {
        for (const char* name : {NV_CREDENTIAL_FILE_NAME, NV_ROOT_CERT_FILE_NAME}) {
            const std::string path = dir + "/" + name;
            if (Exists(path)) {
                *error = path + " exists (use --force to replace it)";
                return NV_CREDTOOL_EXISTS;
            }
        }
    }

    void* image = nullptr;
    int imageLen = 0;
    const int rc = brim_enccerts(m_serverCertPem.data(), static_cast<int>(m_serverCertPem.size()),
                                 m_serverKeyPem.data(), static_cast<int>(m_serverKeyPem.size()),
                                 &image, &imageLen);
    if (rc != 0) {
        *error = "cannot encipher the credentials (code " + std::to_string(rc) + ")";
        return NV_CREDTOOL_FAILED;
    }
    const mode_t mode = userPrivate ? 0600 : 0644;
    const bool ok = WriteFileAtomically(dir, NV_CREDENTIAL_FILE_NAME, image,
                                        static_cast<size_t>(imageLen), mode, error) &&
                    WriteFileAtomically(dir, NV_ROOT_CERT_FILE_NAME, m_rootCertPem.data(),
                                        m_rootCertPem.size(), mode, error);
    brim_decfree(image, imageLen);
    return ok ? NV_CREDTOOL_OK : NV_CREDTOOL_FAILED;
}

int NV_GenerateCredentials(const std::string& dir, bool force, std::string* error) {
    std::string dummy;
    if (error == nullptr)
        error = &dummy;
    CCredentialIssuer issuer;
    if (issuer.CreateRootCA(error) != 0 || issuer.IssueServerCert(error) != 0)
        return NV_CREDTOOL_FAILED;
    // The CA has signed all it ever will: its key goes before anything touches the disk.
    issuer.DropCAKey();
    return issuer.WriteFiles(dir, force, error);
}
