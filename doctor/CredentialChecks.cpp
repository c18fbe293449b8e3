// The installation's credentials: the root CA file (dates, name constraints) and the enciphered
// credential file, read through the credentials library exactly as the daemon reads it. Nothing
// read here is printed but dates, names and verdicts; the deciphered texts are wiped by DEC_CERT.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "credentials/CredentialFile.h"
#include "credentials/OpenSslOwners.h"
#include "credentials/UserCredentials.h"
#include "doctor/Doctor.h"
#include "doctor/DoctorInternal.h"
#include "nv_config.h"

namespace {

constexpr long kYearSeconds = 365L * 24 * 3600;
constexpr const char* kIssueAdvice =
    "issue new credentials as root: " NV_INSTALL_DIR "/nv-credtool --force " NV_INSTALL_DIR
    ", then run " NV_INSTALL_DIR "/" NV_PROGRAM_NAME
    " -I as every user and restart the "
    "daemons";

using NameConstraintsPtr = std::unique_ptr<NAME_CONSTRAINTS, CFree<NAME_CONSTRAINTS_free>>;

X509Ptr ReadPemCertificate(const std::string& path) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        return nullptr;
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

time_t AsTime(const ASN1_TIME* t) {
    struct tm tmv {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tmv) != 1)
        return 0;
    return timegm(&tmv);
}

// Validity of one certificate: bad outside its dates, a warning within a year of the end.
void CheckDates(const std::string& name, X509* cert, const std::string& renew,
                CDoctorReport& report) {
    const time_t now = std::time(nullptr);
    const time_t from = AsTime(X509_get0_notBefore(cert));
    const time_t until = AsTime(X509_get0_notAfter(cert));
    const std::string span = "valid from " + FormatUtc(from) + " until " + FormatUtc(until);
    if (now < from)
        report.Add(name, CheckState::Bad, span + ": not valid yet",
                   "check the machine's clock and time zone");
    else if (now > until)
        report.Add(name, CheckState::Bad, span + ": expired", renew);
    else if (until - now < kYearSeconds)
        report.Add(name, CheckState::Warning, span + ": ends within a year", renew);
    else
        report.Add(name, CheckState::Good, span);
}

std::string GeneralNameText(const GENERAL_NAME* gn) {
    if (gn->type == GEN_DNS) {
        const ASN1_IA5STRING* dns = gn->d.dNSName;
        return "DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                    static_cast<size_t>(ASN1_STRING_length(dns)));
    }
    if (gn->type == GEN_IPADD) {
        const ASN1_OCTET_STRING* ip = gn->d.iPAddress;
        const unsigned char* b = ASN1_STRING_get0_data(ip);
        if (ASN1_STRING_length(ip) == 8) {
            char text[64];
            std::snprintf(text, sizeof(text), "IP:%u.%u.%u.%u/%u.%u.%u.%u", b[0], b[1], b[2], b[3],
                          b[4], b[5], b[6], b[7]);
            return text;
        }
        return "IP:(" + std::to_string(ASN1_STRING_length(ip)) + " bytes)";
    }
    return "other name type " + std::to_string(gn->type);
}

// The CA's name constraints: a browser refuses the daemon's certificate when they leave out
// 127.0.0.1 or localhost, and a CA that permits more than those makes its trust reach other sites.
void CheckNameConstraints(X509* ca, CDoctorReport& report) {
    const char* name = "root CA name constraints";
    int critical = -1;
    NameConstraintsPtr nc(static_cast<NAME_CONSTRAINTS*>(
        X509_get_ext_d2i(ca, NID_name_constraints, &critical, nullptr)));
    if (!nc) {
        report.Add(name, CheckState::Warning,
                   "none: trusting this CA trusts it for every site, not only 127.0.0.1 and "
                   "localhost",
                   "issue new credentials (the credentials tool adds the constraint)");
        return;
    }
    bool ip = false, dns = false;
    std::string others;
    for (int i = 0; i < sk_GENERAL_SUBTREE_num(nc->permittedSubtrees); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_SUBTREE_value(nc->permittedSubtrees, i)->base;
        const std::string text = GeneralNameText(gn);
        if (text == "IP:127.0.0.1/255.255.255.255")
            ip = true;
        else if (text == "DNS:localhost")
            dns = true;
        else
            others += (others.empty() ? "" : ", ") + text;
    }
    std::string permitted = std::string(ip ? "IP 127.0.0.1" : "") + (ip && dns ? " and " : "") +
                            (dns ? "DNS localhost" : "");
    if (!ip || !dns) {
        report.Add(name, CheckState::Bad,
                   std::string("the CA does not permit ") +
                       (!ip && !dns ? "127.0.0.1 or localhost"
                        : !ip       ? "127.0.0.1"
                                    : "localhost") +
                       ": browsers refuse the daemon's certificate",
                   kIssueAdvice);
    } else if (!others.empty() || sk_GENERAL_SUBTREE_num(nc->excludedSubtrees) > 0 ||
               critical != 1) {
        report.Add(name, CheckState::Warning,
                   "permits " + permitted + (others.empty() ? "" : ", and also " + others) +
                       (critical != 1 ? "; the extension is not marked critical" : ""),
                   "issue new credentials to narrow the CA to this machine's loopback names");
    } else {
        report.Add(name, CheckState::Good, "critical; permits only " + permitted);
    }
}

std::string CredentialFailure(int code) {
    switch (code) {
        case -2:
            return "cannot be read (missing, empty, unreadable or larger than 16384 bytes)";
        case -3:
            return "does not decipher: the file is damaged or was made for another build of the "
                   "daemon";
        case -4:
            return "deciphers, but its certificate length field is wrong";
        case -5:
            return "deciphers, but its key length field is wrong";
        default:
            return "cannot be used (code " + std::to_string(code) + ")";
    }
}

}  // namespace

void CheckRootCa(const std::string& rootCertFile, CDoctorReport& report) {
    X509Ptr ca = ReadPemCertificate(rootCertFile);
    if (!ca) {
        report.Add("root CA", CheckState::Bad,
                   rootCertFile + " is missing or holds no PEM certificate", kIssueAdvice);
        return;
    }
    report.Add("root CA", CheckState::Good, rootCertFile);
    CheckDates("root CA validity", ca.get(), kIssueAdvice, report);
    CheckNameConstraints(ca.get(), report);
}

void CheckCredentialFile(const std::string& credentialFile, const std::string& rootCertFile,
                         CDoctorReport& report) {
    // The daemon's own reading and deciphering; the texts are wiped when cert goes.
    DEC_CERT cert;
    const int rc = LoadEncryptedCert(credentialFile.c_str(), &cert);
    if (rc < 0) {
        report.Add(
            "credential file", CheckState::Bad,
            credentialFile + " " + CredentialFailure(rc) + "; the daemon does not serve with it",
            kIssueAdvice);
        return;
    }
    BioPtr certBio(BIO_new_mem_buf(cert.pCert, cert.nCertLen));
    BioPtr keyBio(BIO_new_mem_buf(cert.pKey, cert.nKeyLen));
    X509Ptr server(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    PKeyPtr key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)
                       : nullptr);
    ERR_clear_error();
    if (!server || !key) {
        report.Add("credential file", CheckState::Bad,
                   credentialFile + " deciphers, but its " +
                       (!server ? "certificate" : "private key") + " cannot be parsed",
                   kIssueAdvice);
        return;
    }
    if (X509_check_private_key(server.get(), key.get()) != 1) {
        ERR_clear_error();
        report.Add("credential file", CheckState::Bad,
                   credentialFile + ": the private key does not belong to the certificate",
                   kIssueAdvice);
        return;
    }
    std::string problems;
    X509Ptr ca = ReadPemCertificate(rootCertFile);
    EVP_PKEY* caKey = ca ? X509_get0_pubkey(ca.get()) : nullptr;  // borrowed from ca
    if (caKey == nullptr || X509_verify(server.get(), caKey) != 1 ||
        X509_check_issued(ca.get(), server.get()) != X509_V_OK)
        problems += "; its certificate was not issued by the root CA in " + rootCertFile;
    ERR_clear_error();
    if (X509_check_ip_asc(server.get(), "127.0.0.1", 0) != 1)
        problems += "; its certificate does not cover 127.0.0.1";
    if (X509_check_host(server.get(), "localhost", 0, 0, nullptr) != 1)
        problems += "; its certificate does not cover localhost";
    if (!problems.empty()) {
        report.Add("credential file", CheckState::Bad, credentialFile + " deciphers" + problems,
                   kIssueAdvice);
        return;
    }
    report.Add("credential file", CheckState::Good,
               credentialFile +
                   " deciphers; certificate and key match, issued by the root CA, for 127.0.0.1 "
                   "and localhost");
    CheckDates("server certificate validity", server.get(), kIssueAdvice, report);
}

namespace {

// The certificate inside a credential file, or null.
X509Ptr CertificateIn(const std::string& credentialFile) {
    DEC_CERT cert;
    if (LoadEncryptedCert(credentialFile.c_str(), &cert) != 0)
        return nullptr;
    BioPtr bio(BIO_new_mem_buf(cert.pCert, cert.nCertLen));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace

void SelectCredentialFiles(DoctorContext& ctx) {
    const std::string ownRoot = NV_UserRootCertFile();
    struct stat st {};
    if (!ownRoot.empty() && stat(ownRoot.c_str(), &st) == 0) {
        ctx.rootCertFile = ownRoot;
        ctx.credentialFile = NV_UserCredentialFile();
    }
}

void CheckServedCredentials(DoctorContext& ctx, CDoctorReport& report) {
    const char* name = "credentials";
    // The daemon's own choice, made by the daemon's own code.
    std::string path;
    std::string why;
    X509Ptr chosen;
    {
        DEC_CERT cert;
        if (NV_LoadServedCredentials(&cert, &path, &why) == 0) {
            BioPtr bio(BIO_new_mem_buf(cert.pCert, cert.nCertLen));
            chosen.reset(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        }
    }
    ERR_clear_error();
    const std::string userFile = NV_UserCredentialFile();
    const std::string machineFile = NV_MachineCredentialFile();
    const bool own = path == userFile;
    const bool haveOwnRoot = ctx.rootCertFile == NV_UserRootCertFile();
    const std::string machineRisk =
        ": every local user can read its key and could pose as this daemon to this user's browsers";
    const std::string restart = "restart the daemon (kill " + std::to_string(ctx.daemonPid) +
                                "; then " + ctx.program + " -A)";

    if (!own && haveOwnRoot) {
        // The databases trust the user's root alone, so the machine's certificate fails there.
        report.Add(name, CheckState::Bad,
                   "the daemon serves the machine's, " + machineFile + " (" + why +
                       "), which this user's browsers do not trust",
                   "run " + ctx.program + " -I: it replaces an unusable set of the user's own");
        return;
    }

    // What the running daemon presents, when one answers.
    X509Ptr served;
    if (ctx.daemonPort != 0 && !ctx.daemonSilent) {
        CTlsConnection conn;
        std::string error;
        if (conn.Connect(ctx.daemonPort, "127.0.0.1", ctx.rootCertFile, TlsDeadline(), error))
            served.reset(conn.PeerCertificate());
    }
    const std::string by = served
                               ? "the daemon on port " + std::to_string(ctx.daemonPort) + " serves "
                               : "the daemon serves ";
    if (served && chosen && X509_cmp(served.get(), chosen.get()) != 0) {
        X509Ptr machine = CertificateIn(machineFile);
        const bool oldMachine = own && machine && X509_cmp(served.get(), machine.get()) == 0;
        report.Add(name, oldMachine ? CheckState::Warning : CheckState::Bad,
                   by +
                       (oldMachine ? "the machine's certificate" + machineRisk
                                   : std::string("a certificate of neither ") + userFile + " nor " +
                                         machineFile) +
                       ": it was started before " + path + " was issued",
                   restart);
    } else if (own) {
        report.Add(name, CheckState::Good, by + "the user's own, " + path);
    } else {
        report.Add(name, CheckState::Warning,
                   by + "the machine's, " + path + " (" + why + ")" + machineRisk,
                   "run " + ctx.program +
                       " -I to issue credentials of your own and register their root CA, then "
                       "restart the daemon (log out and in)");
    }
}
